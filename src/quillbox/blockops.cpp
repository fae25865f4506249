#include "quillbox/blockops.h"
