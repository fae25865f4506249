# Writes the man page quillbox.1.gz from the program's own help: help2man turns `quillbox --help`
# and `--version` into the page, and the help of every command becomes its COMMANDS section.
#   cmake -DPROGRAM=… -DHELP2MAN=… -DOUTPUT=…/quillbox.1.gz -P manpage.cmake
cmake_minimum_required(VERSION 3.25)
get_filename_component(dir ${OUTPUT} DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})

# The commands are the lines of the "Subcommands:" block of the top-level help.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed")
endif()
string(REGEX MATCH "Subcommands:\n(([ ]+[^\n]*\n)+)" block "${help}")
string(REGEX MATCHALL "\n  [a-z-]+" names "\n${CMAKE_MATCH_1}")
set(commands "[COMMANDS]\n")
foreach(name IN LISTS names)
  string(STRIP "${name}" name)
  execute_process(COMMAND ${PROGRAM} ${name} --help OUTPUT_VARIABLE text)
  # roff: a leading dot or quote would start a request; backslashes are escapes.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" text "\n${text}")
  string(APPEND commands ".SS ${name}\n.nf\n${text}\n.fi\n")
endforeach()
file(WRITE ${dir}/commands.h2m "${commands}")

execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1
          --name "MCP server for section-wise Markdown editing by AI agents"
          --include ${dir}/commands.h2m --output ${page} ${PROGRAM}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed")
endif()
# -n: no name or time stamp, so that the same help gives the same file.
execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed")
endif()
