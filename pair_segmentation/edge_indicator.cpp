#include "edge_indicator.h"
