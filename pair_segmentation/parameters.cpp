#include "parameters.h"
