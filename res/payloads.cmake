# The files the installer carries, in the order of its component table, each
# as <baseName><extension>: read from kComponentTable in install_table.h, the
# one place the rows are written, so that changing a row is one edit. The
# build lays every one into the executable twice: "32_<BASENAME>" from 32/
# and "64_<BASENAME>" from 64/ of the payload folder.
#   ORBEL_REGISTERED_FILES  the COM servers, registered with regsvr32 after they are written
#   ORBEL_PAYLOAD_FILES     all of them: the servers, then the libraries that are only written
set(ORBEL_COMPONENT_TABLE_TOOL "${PROJECT_SOURCE_DIR}/tools/component_table.py")
execute_process(COMMAND "${ORBEL_PYTHON}" "${ORBEL_COMPONENT_TABLE_TOOL}" "${PROJECT_SOURCE_DIR}/install_table.h" --cmake
    OUTPUT_VARIABLE tableSettings RESULT_VARIABLE tableRead ERROR_VARIABLE tableError)
if(tableRead)
    message(FATAL_ERROR "Cannot read the component table: ${tableError}")
endif()
cmake_language(EVAL CODE "${tableSettings}")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${PROJECT_SOURCE_DIR}/install_table.h" "${ORBEL_COMPONENT_TABLE_TOOL}")
