#include "quorvel_tunnel.h"
#include <gtest/gtest.h>
