#include "pythontest.h"
