# Precompiled headers for the large library headers that most files include:
# nlohmann/json (through model/Records.h), Qt Widgets, GoogleTest. Each set is
# built once per tree by a host target and reused by every target of its kind
# (REUSE_FROM): compiled once per target, a header would cost more than it
# saves in the many one-file test executables.
#
# GCC uses a .gch only where every macro defined when it was made is defined
# the same way (a -DQT_SVG_LIB of the host's own is enough to refuse it), and
# __PIC__ follows -fPIC. So each host is a target of its own with no more
# than what all its users have: the same libraries' flags, and the same kind
# (a library for the libraries, an executable for the tests). A .gch that a
# user cannot take is reported (-Winvalid-pch) and only costs time.
#
# GCC only, and only in Debug trees (the sanitizer builds), where parsing is
# most of a file's compile time. With optimisation GCC 12 reports its
# middle-end warnings (-Warray-bounds and friends) inside the standard
# library's headers when they come from a .gch, as it never does for the
# same headers read as text; and where code generation takes most of the
# time the headers save less anyway. Clang cannot read GCC's .gch either,
# which is why scripts/lint strips them from the compile commands it hands
# clang-tidy.
if(TELVANE_PRECOMPILE_HEADERS AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_BUILD_TYPE STREQUAL "Debug"
   AND NOT TELVANE_BUILD_FUZZ)
  set(TELVANE_PCH ON)
  target_compile_options(telvane_warnings INTERFACE -Winvalid-pch -Wno-error=invalid-pch)
else()
  set(TELVANE_PCH OFF)
endif()

set(TELVANE_PCH_JSON <algorithm> <chrono> <cstdint> <filesystem> <functional> <map> <memory> <optional>
  <string> <string_view> <utility> <vector> <nlohmann/json.hpp>)
set(TELVANE_PCH_QT <QApplication> <QBoxLayout> <QLabel> <QLineEdit> <QPushButton> <QString> <QTimer>
  <QToolButton> <QWidget>)
set(TELVANE_PCH_GTEST <gmock/gmock.h> <gtest/gtest.h>)

# telvane_precompile(<target> <host> [<kind> LIBS <libs...> HEADERS <headers...>])
#
# Gives <target> the precompiled headers of <host>, making the host first
# (a STATIC library or an EXECUTABLE that is never run) where it does not
# exist yet: it links <libs> PRIVATE, with the warnings and sanitizers.
function(telvane_precompile target host)
  if(NOT TELVANE_PCH)
    return()
  endif()
  cmake_parse_arguments(H "" "" "LIBS;HEADERS" ${ARGN})
  if(NOT TARGET ${host})
    set(anchor ${CMAKE_BINARY_DIR}/pch/${host}.cpp)
    if(H_UNPARSED_ARGUMENTS STREQUAL "EXECUTABLE")
      file(WRITE ${anchor} "int main() { return 0; }\n")
      add_executable(${host} ${anchor})
    else()
      file(WRITE ${anchor} "namespace telvane { void precompiledHeaderHost() {} }\n")
      add_library(${host} STATIC ${anchor})
    endif()
    target_link_libraries(${host} PRIVATE ${H_LIBS} telvane_warnings telvane_sanitizers)
    target_precompile_headers(${host} PRIVATE ${H_HEADERS})
  endif()
  target_precompile_headers(${target} REUSE_FROM ${host})
endfunction()

# The Qt-free libraries that read records.
function(telvane_precompile_json target)
  telvane_precompile(${target} telvane_json_pch STATIC
    LIBS telvane_version nlohmann_json::nlohmann_json Threads::Threads telvane_hardening
    HEADERS ${TELVANE_PCH_JSON})
endfunction()

# The Qt Widgets libraries.
function(telvane_precompile_qt_widgets target)
  telvane_precompile(${target} telvane_qt_pch STATIC
    LIBS telvane_model telvane_hardening Qt6::Widgets HEADERS ${TELVANE_PCH_JSON} ${TELVANE_PCH_QT})
endfunction()

# The tests, with Qt Widgets where they use it.
function(telvane_precompile_test target uses_qt)
  if(uses_qt)
    telvane_precompile(${target} telvane_qt_test_pch EXECUTABLE
      LIBS telvane_model Qt6::Widgets GTest::gmock GTest::gtest
      HEADERS ${TELVANE_PCH_JSON} ${TELVANE_PCH_QT} ${TELVANE_PCH_GTEST})
  else()
    telvane_precompile(${target} telvane_test_pch EXECUTABLE
      LIBS telvane_model GTest::gmock GTest::gtest HEADERS ${TELVANE_PCH_JSON} ${TELVANE_PCH_GTEST})
  endif()
endfunction()
