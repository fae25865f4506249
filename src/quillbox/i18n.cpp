#include "quillbox/i18n.h"
