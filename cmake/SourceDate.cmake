# The time every package and page of this build carries: the last commit's,
# or SOURCE_DATE_EPOCH's without git. Set in the environment too, so that
# string(TIMESTAMP) and cpack take it.
execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                OUTPUT_VARIABLE QOR_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET)
if(NOT QOR_SOURCE_DATE_EPOCH)
  set(QOR_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
endif()
if(NOT QOR_SOURCE_DATE_EPOCH)
  set(QOR_SOURCE_DATE_EPOCH 315532800) # 1980-01-01, the earliest a .zip holds
endif()
set(ENV{SOURCE_DATE_EPOCH} ${QOR_SOURCE_DATE_EPOCH})

