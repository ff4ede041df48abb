// Test-only controls of the platform layer. They are compiled into the static
// library that the tests link; the plug-in module never calls them.
#pragma once

namespace platform::test {

// While set, every attempt to map a file or anonymous memory fails, so that the
// stores run in their positioned-file mode.
void SetMappingRefused(bool refused);

}  // namespace platform::test
