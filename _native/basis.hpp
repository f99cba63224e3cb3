#pragma once

#include "stats.hpp"

namespace zelt {}  // namespace zelt
