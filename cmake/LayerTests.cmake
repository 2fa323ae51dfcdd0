# The layers' rules on the sources, and the check itself on small trees that break one rule each:
# each must be reported with its file and line.
add_test(NAME layers COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/check-layers.py ${CMAKE_SOURCE_DIR})

set(KIVANO_LAYER_FIXTURES ${CMAKE_BINARY_DIR}/layer-fixtures)
# case | file in the tree | its text
set(KIVANO_LAYER_CASES
  "include-up|bridge/Up.cpp|#include \"app/AppDelegate.h\""
  "include-beside|media/Beside.cpp|#include \"plugins/standard/WHFile.h\""
  "gtk-header|companion/Gtk.cpp|#include <gtk/gtk.h>"
  "glib-header|plugins/Glib.cpp|#include <glib.h>"
  "icu-header|plugins/standard/Icu.cpp|#include <unicode/locid.h>"
  "expat-header|bridge/Xml.cpp|#include <expat.h>"
  "system-header|media/Socket.cpp|#include <sys/socket.h>"
  "system-call|app/Call.cpp|int closed = ::close(0)")
foreach(case ${KIVANO_LAYER_CASES})
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  list(GET parts 2 text)
  file(WRITE ${KIVANO_LAYER_FIXTURES}/${name}/${file} "${text}\n")
  add_test(NAME layers-${name}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/check-layers.py ${KIVANO_LAYER_FIXTURES}/${name})
  set_tests_properties(layers-${name} PROPERTIES PASS_REGULAR_EXPRESSION "${file}:1: ")
endforeach()
# A tree that keeps the rules passes.
file(WRITE ${KIVANO_LAYER_FIXTURES}/clean/app/Down.cpp "#include \"platform/log.h\"\n#include <vector>\nvoid f() { std::vector<int> v; v.clear(); }\n")
file(WRITE ${KIVANO_LAYER_FIXTURES}/clean/platform/Call.cpp "#include <unistd.h>\nint f(int fd) { return ::close(fd); }\n")
add_test(NAME layers-clean COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/check-layers.py ${KIVANO_LAYER_FIXTURES}/clean)
