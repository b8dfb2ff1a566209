#include "kvtlib.h"
