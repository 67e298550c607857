#include "narrow_band.h"
