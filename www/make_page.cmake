# Builds one installed page from its UTF-8 source. Run with cmake -P.
#   INPUT   the page source (UTF-8)
#   OUTPUT  the page to write (Shift_JIS)
#   PARTS   directory of the shared pieces _head.html, _nav.html,
#           _actions.html, _addform.html, _modform.html and _watchfields.html,
#           inserted where a line "<!-- include: NAME -->" stands (NAME
#           without the underscore and extension); a piece may include a
#           piece later in the list (the watch forms include their fields)
file(READ ${INPUT} page)
foreach(part head nav actions addform modform watchfields)
  file(READ ${PARTS}/_${part}.html text)
  string(REPLACE "<!-- include: ${part} -->\n" "${text}" page "${page}")
endforeach()
if(page MATCHES "<!-- include: ")
  message(FATAL_ERROR "${INPUT}: unknown include")
endif()

get_filename_component(outdir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${outdir})
file(WRITE ${OUTPUT}.utf8 "${page}")
execute_process(COMMAND iconv -f UTF-8 -t SHIFT_JIS ${OUTPUT}.utf8
                OUTPUT_FILE ${OUTPUT}.sjis RESULT_VARIABLE rc ERROR_VARIABLE err)
file(REMOVE ${OUTPUT}.utf8)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUTPUT}.sjis)
  message(FATAL_ERROR "${INPUT}: cannot convert to Shift_JIS: ${err}")
endif()
file(RENAME ${OUTPUT}.sjis ${OUTPUT})
