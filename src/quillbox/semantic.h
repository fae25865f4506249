#pragma once
// Module semantic.

namespace quillbox {}
