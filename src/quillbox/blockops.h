#pragma once
// Module blockops.

namespace quillbox {}
