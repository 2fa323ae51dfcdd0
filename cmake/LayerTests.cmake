# The layers' rules on the sources, and the check itself on small trees that break one rule each:
# each must be reported with its file and line.
add_test(NAME layers COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/check-layers.py ${CMAKE_SOURCE_DIR})

set(KIVANO_LAYER_FIXTURES ${CMAKE_BINARY_DIR}/layer-fixtures)
# case | file in the tree | its text [| another file | its text ...]: the breach is in the first file
set(KIVANO_LAYER_CASES
  "include-up|bridge/Up.cpp|#include \"app/AppDelegate.h\""
  "include-beside|media/Beside.cpp|#include \"plugins/standard/WHFile.h\""
  "gtk-header|companion/Gtk.cpp|#include <gtk/gtk.h>"
  "glib-header|plugins/Glib.cpp|#include <glib.h>"
  "icu-header|plugins/standard/Icu.cpp|#include <unicode/locid.h>"
  "expat-header|bridge/Xml.cpp|#include <expat.h>"
  "system-header|media/Socket.cpp|#include <sys/socket.h>"
  "include-up-angle|bridge/Angle.cpp|#include <app/AppDelegate.h>"
  "include-up-relative|bridge/Relative.cpp|#include \"../app/AppDelegate.h\""
  "include-beside-relative|media/intercom/Relative.cpp|#include \"../../plugins/standard/WHFile.h\""
  "include-outside-layers|app/Tests.cpp|#include \"tests/support/util.h\"|tests/support/util.h|#pragma once"
  "dirent-header|plugins/Dirent.cpp|#include <dirent.h>"
  "signal-header|companion/Signal.cpp|#include <signal.h>"
  "csignal-header|companion/Csignal.cpp|#include <csignal>"
  "pthread-header|media/Thread.cpp|#include <pthread.h>"
  "sched-header|media/Sched.cpp|#include <sched.h>"
  "semaphore-header|bridge/Semaphore.cpp|#include <semaphore.h>"
  "quoted-system-header|app/Quoted.cpp|#include \"unistd.h\""
  "sip-header-outside-media|companion/Sip.cpp|#include <linphone++/linphone.hh>"
  "system-call|app/Call.cpp|int closed = ::close(0)"
  "bare-call|app/Bare.cpp|int closed = close(0)"
  "bare-call-after-keyword|app/Return.cpp|int f(int fd) { return close(fd) }"
  "call-realpath|plugins/Real.cpp|char* real = ::realpath(path, nullptr)"
  "call-access|plugins/Access.cpp|bool here = access(path, 0) == 0"
  "call-getifaddrs|plugins/Ifaddrs.cpp|int listed = getifaddrs(&list)"
  "call-opendir|companion/Dir.cpp|auto* folder = opendir(path)"
  "call-readdir|companion/Entry.cpp|auto* entry = ::readdir(folder)"
  "call-fopen|bridge/Fopen.cpp|auto* file = fopen(path, mode)"
  "call-popen|app/Popen.cpp|auto* pipe = popen(command, mode)"
  "call-sigaction|app/Sigaction.cpp|int set = sigaction(15, &action, nullptr)"
  "call-pthread|media/Pthread.cpp|int made = pthread_create(&thread, nullptr, run, nullptr)"
  "stat-type|plugins/Stat.cpp|struct stat st{}"
  "stat-macro|plugins/Mode.cpp|bool folder = S_ISDIR(mode)"
  "open-flag|plugins/Flags.cpp|int flags = O_WRONLY | O_CREAT"
  "socket-type|media/Address.cpp|sockaddr_storage address{}"
  "exported-system-header|platform/Exported.h|#include <sys/stat.h>|plugins/Uses.cpp|#include \"platform/Exported.h\""
  "exported-through-headers|platform/Inner.h|#include <fcntl.h>|platform/Outer.h|#include \"platform/Inner.h\"|bridge/Uses.h|#include \"platform/Outer.h\"|app/Uses.cpp|#include \"bridge/Uses.h\""
  "suffix-hpp|bridge/Up.hpp|#include \"app/AppDelegate.h\""
  "suffix-cc|bridge/Up.cc|#include \"app/AppDelegate.h\""
  "suffix-cxx|bridge/Up.cxx|#include \"app/AppDelegate.h\""
  "suffix-inl|bridge/Up.inl|#include \"app/AppDelegate.h\""
  "suffix-ipp|bridge/Up.ipp|#include \"app/AppDelegate.h\"")
foreach(case ${KIVANO_LAYER_CASES})
  string(REPLACE "|" ";" parts "${case}")
  list(POP_FRONT parts name file text)
  file(WRITE ${KIVANO_LAYER_FIXTURES}/${name}/${file} "${text}\n")
  while(parts)
    list(POP_FRONT parts other otherText)
    file(WRITE ${KIVANO_LAYER_FIXTURES}/${name}/${other} "${otherText}\n")
  endwhile()
  add_test(NAME layers-${name}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/check-layers.py ${KIVANO_LAYER_FIXTURES}/${name})
  set_tests_properties(layers-${name} PROPERTIES PASS_REGULAR_EXPRESSION "${file}:1: ")
endforeach()
# A tree that keeps the rules passes: includes pointing down however written, the libraries a layer
# may use, the system in the platform, and names of the system's calls that are our own methods
# and lambdas, or stand in comments and strings.
file(WRITE ${KIVANO_LAYER_FIXTURES}/clean/app/Down.cpp "#include \"platform/log.h\"\n#include <vector>\nvoid f() { std::vector<int> v; v.clear(); }\n")
file(WRITE ${KIVANO_LAYER_FIXTURES}/clean/platform/Call.cpp "#include <unistd.h>\n#include <sys/stat.h>\nint f(int fd) { struct stat st; return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? close(fd) : -1; }\n")
file(WRITE ${KIVANO_LAYER_FIXTURES}/clean/media/Port.h "#pragma once\n#include <nlohmann/json.hpp>\n#include <linphone++/linphone.hh>\n#include <platform/log.h>\nclass Port {\npublic:\n    void close();\n    bool send(int what);\n};\n")
file(WRITE ${KIVANO_LAYER_FIXTURES}/clean/media/intercom/Port.cpp "#include \"../Port.h\"\n#include \"bridge/WHPlugin.h\"\n#include <string>\n// close(fd) and ::unlink(path) in a comment\nvoid Port::close() { send(0); }\nbool Port::send(int what) { return what > 0; }\nvoid use(Port& p, Port* q) {\n    p.close();\n    q->close();\n    auto read = [](int n) { return n; };\n    read(1);\n    std::string text = \"::close(fd), open(path)\";\n    char quote = '\"';\n    int million = 1'000'000;\n}\n")
add_test(NAME layers-clean COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/check-layers.py ${KIVANO_LAYER_FIXTURES}/clean)
