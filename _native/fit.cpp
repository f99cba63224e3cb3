#include "fit.hpp"
