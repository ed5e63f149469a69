#include "app/Windows.h"
