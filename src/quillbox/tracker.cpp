#include "quillbox/tracker.h"
