#include "tpyqtwrapping_p.h"
