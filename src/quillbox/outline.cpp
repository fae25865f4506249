#include "quillbox/outline.h"
