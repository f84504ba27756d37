# Turns a text file into a C++ raw string literal that a source includes:
#   cmake -DINPUT=page.html -DOUTPUT=page.inc -P EmbedText.cmake
set(delimiter "KTRR_PAGE")
file(READ "${INPUT}" text)
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string end )${delimiter}\"")
endif()
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; edit that file.\nR\"${delimiter}(${text})${delimiter}\"\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
