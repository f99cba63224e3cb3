#include "ensemble.hpp"
