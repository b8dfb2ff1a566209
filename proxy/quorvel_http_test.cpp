#include "quorvel_http.h"
#include <gtest/gtest.h>
