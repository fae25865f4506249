#include "quillbox/rulefile.h"
