# Makes the web view's page one C++ string from its files in web/page/: the
# HTML with its style sheet and script put in where it says @STYLE@ and
# @SCRIPT@, so that the page is served whole and fetches nothing else.
# Usage: cmake -DPAGE=web/page -DOUT=WebPageText.cpp -P EmbedPage.cmake
file(READ "${PAGE}/index.html" html)
file(READ "${PAGE}/style.css" style)
file(READ "${PAGE}/app.js" script)
string(REPLACE "@STYLE@" "${style}" html "${html}")
string(REPLACE "@SCRIPT@" "${script}" html "${html}")
string(FIND "${html}" ")page\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "web/page: the page may not hold )page\" (it ends the C++ string)")
endif()
file(WRITE "${OUT}.new" "// Made from web/page/ by cmake/EmbedPage.cmake: edit those files.\n"
  "extern const char* const kWebPage;\nconst char* const kWebPage = R\"page(${html})page\";\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
