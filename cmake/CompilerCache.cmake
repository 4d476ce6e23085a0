# Compiles through ccache where it is installed, unless the configuring user
# chose a launcher. The settings travel with each call rather than living in a
# ccache.conf, so a fresh clone in any directory (CI's or a second worktree)
# hits what another one cached:
#   CCACHE_BASEDIR     paths under the checkout are hashed relative to it
#   CCACHE_NOHASHDIR   the build directory is not part of the hash (only the
#                      debug info's working directory differs)
#   CCACHE_SLOPPINESS  what precompiled headers need (their defines and the
#                      .gch written just before its users compile)
option(TELVANE_CCACHE "Compile through ccache when it is installed" ON)
if(TELVANE_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  find_program(TELVANE_CCACHE_PROGRAM ccache)
  find_program(TELVANE_ENV_PROGRAM env)
  if(TELVANE_CCACHE_PROGRAM AND TELVANE_ENV_PROGRAM)
    set(CMAKE_CXX_COMPILER_LAUNCHER
      ${TELVANE_ENV_PROGRAM}
      CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}
      CCACHE_NOHASHDIR=true
      CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      ${TELVANE_CCACHE_PROGRAM})
  endif()
endif()
