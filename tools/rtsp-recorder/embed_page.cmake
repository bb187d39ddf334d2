# cmake -DIN=page.html -DOUT=page.cpp -P embed_page.cmake: the page as a C++
# string, in raw-string pieces small enough for any compiler.
file(READ ${IN} _text)
string(LENGTH "${_text}" _length)
set(_out "// Made from web/index.html at build time.\nnamespace rtsp_recorder {\nextern const char kPageHtml[];\nconst char kPageHtml[] =\n")
set(_at 0)
while(_at LESS _length)
  string(SUBSTRING "${_text}" ${_at} 4000 _piece)
  string(APPEND _out "R\"PAGE(${_piece})PAGE\"\n")
  math(EXPR _at "${_at} + 4000")
endwhile()
string(APPEND _out ";\n}  // namespace rtsp_recorder\n")
file(WRITE ${OUT} "${_out}")
