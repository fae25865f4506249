#include "quillbox/indexer.h"
