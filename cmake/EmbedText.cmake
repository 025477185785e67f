# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -DNAMESPACE=ns -P EmbedText.cmake
# Writes a source file defining `const std::string_view ns::name` with the input's bytes,
# so a tool carries a file (a web page) in its executable.
file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
string(REGEX REPLACE "((,'[^,]*){16})," "\\1,\n  " bytes ",${bytes}")
string(REGEX REPLACE "^," "" bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp" "// Generated from ${name}; edit that file instead.\n#include <string_view>\n\nnamespace ${NAMESPACE} {\nnamespace {\nconstexpr char kBytes[] = {\n  ${bytes}'\\0'};\n}  // namespace\nextern const std::string_view ${SYMBOL};\nconst std::string_view ${SYMBOL}(kBytes, sizeof kBytes - 1);\n}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
