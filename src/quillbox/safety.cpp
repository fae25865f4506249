#include "quillbox/safety.h"
