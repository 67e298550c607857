#include "segment_image_pair.h"
