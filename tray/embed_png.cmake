# cmake -DINPUT=file.png -DOUTPUT=file.cpp -P embed_png.cmake: the PNG as the bytes of
# masthead_png.h, so the window needs no file at run time.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "// Generated from the logotype SVG at build time; do not edit.\n"
  "#include \"tray/masthead_png.h\"\n\nnamespace halvex {\n\n"
  "const unsigned char kMastheadPng[] = {\n${bytes}\n};\n"
  "const std::size_t kMastheadPngSize = ${size};\n\n}  // namespace halvex\n")
