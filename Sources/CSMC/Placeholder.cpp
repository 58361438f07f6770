#include "CSMCDevice.hpp"
