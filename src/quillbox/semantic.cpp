#include "quillbox/semantic.h"
