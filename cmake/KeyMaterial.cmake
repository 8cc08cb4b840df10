# Turns a key file into the C++ source that defines build_key.
#
# Key file: '#' lines and blank lines are ignored; every other line is a field
# name and its values, separated by blanks, each value hexadecimal with 0x.
# A malformed file stops the configuration with its name, line and fault.

function(qor_key_fail file line what)
  message(FATAL_ERROR "${file}:${line}: ${what}")
endfunction()

function(qor_generate_key_material key_file out_file)
  # Flat list of triples: field name, number of values, bits per value.
  set(fields "sum_starts;13;32" "acc13_constant;1;32" "chaining;4;32" "steps;64;32"
             "stamp_signature;5;8" "stamp_addend;1;8" "stamp_mask;1;8")
  # The same limit, byte-order mark and messages as qortool --key.
  if(NOT EXISTS "${key_file}")
    message(FATAL_ERROR "${key_file}: key file not found")
  endif()
  if(IS_DIRECTORY "${key_file}")
    message(FATAL_ERROR "${key_file}: Is a directory")
  endif()
  file(SIZE "${key_file}" size)
  if(size GREATER 65536)
    message(FATAL_ERROR "${key_file}: larger than 65536 bytes: not a key file")
  endif()
  # file(STRINGS) drops a UTF-8 byte-order mark at the start.
  file(STRINGS "${key_file}" lines)
  set(number 0)
  foreach(raw IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(STRIP "${raw}" text)
    if(text STREQUAL "" OR text MATCHES "^#")
      continue()
    endif()
    if(text MATCHES ";")
      qor_key_fail("${key_file}" ${number} "';' is not allowed in a key file")
    endif()
    string(REGEX REPLACE "[ \t]+" ";" words "${text}")
    list(POP_FRONT words name)
    set(known FALSE)
    foreach(i RANGE 0 6)
      math(EXPR at "${i} * 3")
      list(GET fields ${at} fname)
      if(fname STREQUAL name)
        set(known TRUE)
        math(EXPR at "${at} + 1")
        list(GET fields ${at} count)
        math(EXPR at "${at} + 1")
        list(GET fields ${at} bits)
      endif()
    endforeach()
    if(NOT known)
      qor_key_fail("${key_file}" ${number} "unknown field '${name}'")
    endif()
    if(DEFINED seen_${name})
      qor_key_fail("${key_file}" ${number} "field '${name}' given twice (first on line ${seen_${name}})")
    endif()
    set(seen_${name} ${number})
    list(LENGTH words given)
    if(NOT given EQUAL count)
      qor_key_fail("${key_file}" ${number} "'${name}' needs ${count} values, has ${given}")
    endif()
    math(EXPR digits "${bits} / 4")
    set(values "")
    foreach(value IN LISTS words)
      if(NOT value MATCHES "^0x[0-9a-fA-F]+$")
        qor_key_fail("${key_file}" ${number} "'${value}' in '${name}' is not a hexadecimal value with a 0x prefix")
      endif()
      string(REGEX REPLACE "^0x0*" "" significant "${value}")
      string(LENGTH "${significant}" length)
      if(length GREATER digits)
        qor_key_fail("${key_file}" ${number} "'${value}' in '${name}' does not fit in ${bits} bits")
      endif()
      if(name STREQUAL "stamp_signature" AND length EQUAL 0)
        qor_key_fail("${key_file}" ${number} "'stamp_signature' must hold no zero byte")
      endif()
      list(APPEND values "${value}")
    endforeach()
    list(JOIN values ", " key_${name})
  endforeach()
  foreach(i RANGE 0 6)
    math(EXPR at "${i} * 3")
    list(GET fields ${at} fname)
    if(NOT DEFINED seen_${fname})
      message(FATAL_ERROR "${key_file}: field '${fname}' is missing")
    endif()
  endforeach()
  get_filename_component(key_name "${key_file}" NAME)
  set(source "// Generated from the key file ${key_name}; edit that file, not this one.
#include \"verify.h\"

const KeyMaterial build_key = {
    {${key_sum_starts}},
    ${key_acc13_constant},
    {${key_chaining}},
    {${key_steps}},
    {${key_stamp_signature}},
    ${key_stamp_addend},
    ${key_stamp_mask},
};
")
  file(CONFIGURE OUTPUT "${out_file}" CONTENT "${source}" @ONLY)
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")
  endif()
endfunction()

# cmake -DQOR_CHECK_KEY_FILE=FILE [-DOUT=SOURCE] -P KeyMaterial.cmake checks a
# key file (and writes its source) without a build.
if(QOR_CHECK_KEY_FILE)
  if(NOT OUT)
    set(OUT "${CMAKE_CURRENT_BINARY_DIR}/key_material_check.cpp")
  endif()
  qor_generate_key_material("${QOR_CHECK_KEY_FILE}" "${OUT}")
endif()
