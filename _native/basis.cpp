#include "basis.hpp"
