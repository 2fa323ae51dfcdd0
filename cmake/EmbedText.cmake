# Writes a C++ header holding a text file as a string view:
#   cmake -DINPUT=<file> -DOUTPUT=<header> -DNAME=<identifier> -DNAMESPACE=<namespace> -P EmbedText.cmake
file(READ "${INPUT}" text)
set(delimiter "KIVANO_EMBEDDED")
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's delimiter")
endif()
get_filename_component(source "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Made from ${source} by cmake/EmbedText.cmake; edit that file instead.\n"
  "#pragma once\n#include <string_view>\n"
  "namespace ${NAMESPACE} {\n"
  "inline constexpr std::string_view ${NAME} = R\"${delimiter}(${text})${delimiter}\";\n"
  "}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
