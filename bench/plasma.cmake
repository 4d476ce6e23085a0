# The Plasma widget while nothing changes, beside telvane-widget --follow
# and beside running telvane-widget every second: a Python driver under
# Xvfb that run-benchmarks runs like the others.
if(TARGET telvane-widget AND TELVANE_PLASMOID_DIR)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/bench/plasma_applet_bench
    CONTENT "#!/bin/sh\nexec /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/plasma_applet_bench.py \
${TELVANE_PLASMOID_DIR} $<TARGET_FILE_DIR:telvane-widget> \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
