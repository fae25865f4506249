# Writes OUTPUT, a source file defining quillbox::source_revision(), from the git checkout in
# SOURCE_DIR ("unknown" outside git). Run on every build; the file is rewritten only when the
# revision changed, so a new commit recompiles that one file and relinks the program.
execute_process(
    COMMAND git -C "${SOURCE_DIR}" describe --tags --always --dirty --abbrev=12
    OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR revision STREQUAL "")
  set(revision "unknown")
endif()
string(REGEX REPLACE "[^A-Za-z0-9._+~-]" "_" revision "${revision}")
set(text "// Generated at build time from the source checkout.
#include \"host/revision.h\"

std::string_view quillbox::source_revision() { return \"${revision}\"; }
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
