#include "clustering.h"
