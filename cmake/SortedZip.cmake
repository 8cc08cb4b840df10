# Run by cpack once it has made the .zip: CPack adds the files in the order
# the file system lists them, which differs from one machine to another;
# scripts/sort-zip rewrites the archive in sorted order.
find_program(PYTHON3 python3 REQUIRED)
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/../scripts/sort-zip "${zip}"
                  RESULT_VARIABLE status)
  if(status)
    message(FATAL_ERROR "${zip}: could not be sorted")
  endif()
endforeach()
