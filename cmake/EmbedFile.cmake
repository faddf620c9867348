# cmake -DINPUT=<file> -DOUTPUT=<header> -DNAME=<symbol> -P EmbedFile.cmake
# Writes the file's bytes as a constant array (the program carries its logo).
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "#pragma once\n#include <cstddef>\ninline constexpr unsigned char ${NAME}[] = {\n${bytes}\n};\ninline constexpr std::size_t ${NAME}Size = ${size};\n")
