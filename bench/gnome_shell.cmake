# The GNOME Shell extension in a headless gnome-shell: its CPU while nothing
# changes and its redraws under the reload-signal storm, each beside
# telvane-widget --follow in the same run. A script: run-benchmarks finds it
# by its name like the compiled ones.
if(TARGET telvane-widget AND TELVANE_GNOME_EXTENSION_DIR)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/bench/gnome_shell_bench
    CONTENT "#!/bin/sh\nexec /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/gnome/gnome_shell_bench.py \
${TELVANE_GNOME_EXTENSION_DIR} $<TARGET_FILE_DIR:telvane-widget>\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
