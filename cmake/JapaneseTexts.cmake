# Turns a UTF-8 text table into a C++ header of byte constants in another
# code (EUC-JP for the service). Run with cmake -P.
#   INPUT  lines "kName<TAB>text"; empty lines and lines starting with # skipped
#   OUTPUT the header to write
#   CODE   the target code for iconv
# Every byte is written as a \x escape, so the header itself is plain ASCII
# apart from the UTF-8 comment that shows each text.

# Split into lines without letting CMake's list syntax see backslashes,
# semicolons or brackets of the texts.
file(READ ${INPUT} content)
string(REPLACE "\\" "@BS@" content "${content}")
string(REPLACE ";" "@SC@" content "${content}")
string(REPLACE "[" "@LB@" content "${content}")
string(REPLACE "]" "@RB@" content "${content}")
string(REPLACE "\n" ";" lines "${content}")
string(MAKE_C_IDENTIFIER "${OUTPUT}" guard)
string(TOUPPER "SL_GEN_${guard}_" guard)
set(body "// Generated from ${INPUT}; do not edit.\n#ifndef ${guard}\n#define ${guard}\n\nnamespace sl::ja {\n\n")
get_filename_component(outdir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${outdir})
set(tmp_in ${OUTPUT}.in.tmp)
set(tmp_out ${OUTPUT}.out.tmp)
foreach(line IN LISTS lines)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^([A-Za-z0-9_]+)\t(.*)$")
    message(FATAL_ERROR "${INPUT}: bad line: ${line}")
  endif()
  set(name ${CMAKE_MATCH_1})
  set(text "${CMAKE_MATCH_2}")
  string(REPLACE "@BS@" "\\" text "${text}")
  string(REPLACE "@SC@" ";" text "${text}")
  string(REPLACE "@LB@" "[" text "${text}")
  string(REPLACE "@RB@" "]" text "${text}")
  file(WRITE ${tmp_in} "${text}")
  execute_process(COMMAND iconv -f UTF-8 -t ${CODE} ${tmp_in} OUTPUT_FILE ${tmp_out} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${INPUT}: iconv failed for ${name}")
  endif()
  file(READ ${tmp_out} hex HEX)
  string(REGEX REPLACE "(..)" "\\\\x\\1" escaped "${hex}")
  string(APPEND body "// \"${text}\"\ninline constexpr char ${name}[] = \"${escaped}\";\n\n")
endforeach()
file(REMOVE ${tmp_in} ${tmp_out})
string(APPEND body "}  // namespace sl::ja\n\n#endif\n")
file(WRITE ${OUTPUT}.new "${body}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
