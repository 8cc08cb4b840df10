# Each malformed key file must stop the build with its name, line and fault.
file(MAKE_DIRECTORY "${WORK_DIR}")
file(READ "${SOURCE_DIR}/keys/default.key" good)

function(expect_key name content expected)
  set(key "${WORK_DIR}/${name}.key")
  file(WRITE "${key}" "${content}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DQOR_CHECK_KEY_FILE=${key} -DOUT=${WORK_DIR}/${name}.cpp
                          -P ${SOURCE_DIR}/cmake/KeyMaterial.cmake
                  RESULT_VARIABLE result ERROR_VARIABLE error)
  # CMake wraps long messages; match them as one line.
  string(REGEX REPLACE "[ \t\n]+" " " error "${error}")
  if(expected STREQUAL "ok")
    if(NOT result EQUAL 0)
      message(SEND_ERROR "${name}: a good key file was refused: ${error}")
    endif()
  elseif(result EQUAL 0 OR NOT error MATCHES "${expected}")
    message(SEND_ERROR "${name}: expected an error matching '${expected}', got (${result}): ${error}")
  endif()
endfunction()

expect_key(default "${good}" ok)
string(REGEX REPLACE "stamp_mask [^\n]*" "stamp_mask 0x100" wide "${good}")
expect_key(wide "${wide}" "wide.key:[0-9]+: '0x100' in 'stamp_mask' does not fit in 8 bits")
string(REGEX REPLACE "\nacc13_constant [^\n]*" "\nacc13_constant 12345" decimal "${good}")
expect_key(decimal "${decimal}" "decimal.key:[0-9]+: '12345' in 'acc13_constant' is not a hexadecimal")
string(REGEX REPLACE "\nchaining (0x[0-9a-f]+) " "\nchaining " short "${good}")
expect_key(short "${short}" "short.key:[0-9]+: 'chaining' needs 4 values, has 3")
string(REGEX REPLACE "\nstamp_signature 0x[0-9a-f]+" "\nstamp_signature 0x00" zero "${good}")
expect_key(zero "${zero}" "zero.key:[0-9]+: 'stamp_signature' must hold no zero byte")
expect_key(unknown "${good}\nsalt 0x01\n" "unknown.key:[0-9]+: unknown field 'salt'")
expect_key(twice "${good}\nstamp_mask 0x01\n" "twice.key:[0-9]+: field 'stamp_mask' given twice")
string(REGEX REPLACE "\nsteps [^\n]*" "" missing "${good}")
expect_key(missing "${missing}" "missing.key: field 'steps' is missing")
