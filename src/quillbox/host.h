#pragma once
// Interfaces of the host components that blockops calls (path resolver, configuration and
// pricing, read cache, embedding provider), with a process-wide registry of working defaults.

namespace quillbox {}
