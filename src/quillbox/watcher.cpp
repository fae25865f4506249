#include "quillbox/watcher.h"
