# The four payloads are embedded with an assembler .incbin: fast to build, byte-exact.
# Without FIRMWARE_DIR the build generates a deterministic stand-in set of the right sizes.
set(FWU_PAYLOAD_NAMES boot1.bin boot2.bin filesize.bin fw.bin)
set(FWU_PAYLOAD_SIZES 184 7414 3 2481250)

if(FIRMWARE_DIR)
  set(FWU_PAYLOAD_DIR ${FIRMWARE_DIR})
  foreach(name size IN ZIP_LISTS FWU_PAYLOAD_NAMES FWU_PAYLOAD_SIZES)
    if(NOT EXISTS ${FIRMWARE_DIR}/${name})
      message(FATAL_ERROR "FIRMWARE_DIR: ${FIRMWARE_DIR}/${name} is missing")
    endif()
    file(SIZE ${FIRMWARE_DIR}/${name} actual)
    if(NOT actual EQUAL size)
      message(FATAL_ERROR "FIRMWARE_DIR: ${FIRMWARE_DIR}/${name} has ${actual} bytes; the upload stages need ${size}")
    endif()
  endforeach()
  add_custom_target(fwu_payload_files)
  # An optional one-line file `version` names the embedded set's firmware revision.
  set(FWU_PAYLOADS_REVISION "")
  if(EXISTS ${FIRMWARE_DIR}/version)
    file(STRINGS ${FIRMWARE_DIR}/version FWU_PAYLOADS_REVISION LIMIT_COUNT 1)
  endif()
  set(FWU_PAYLOAD_DEFINITIONS "FWU_PAYLOADS_REVISION=\"${FWU_PAYLOADS_REVISION}\"")
else()
  set(FWU_PAYLOAD_DEFINITIONS FWU_PAYLOADS_STAND_IN)
  set(FWU_PAYLOAD_DIR ${CMAKE_BINARY_DIR}/payloads)
  add_executable(gen_payloads ${CMAKE_SOURCE_DIR}/tools/gen_payloads.cpp ${CMAKE_SOURCE_DIR}/platform/base/format.cpp)
  target_include_directories(gen_payloads PRIVATE ${CMAKE_SOURCE_DIR})
  set(_outputs)
  foreach(name ${FWU_PAYLOAD_NAMES})
    list(APPEND _outputs ${FWU_PAYLOAD_DIR}/${name})
  endforeach()
  add_custom_command(OUTPUT ${_outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${FWU_PAYLOAD_DIR}
    COMMAND gen_payloads ${FWU_PAYLOAD_DIR}
    DEPENDS gen_payloads
    COMMENT "Generating the stand-in payload set")
  add_custom_target(fwu_payload_files DEPENDS ${_outputs})
endif()

set(FWU_PAYLOAD_ASM ${CMAKE_SOURCE_DIR}/resources/payloads.S)
set_source_files_properties(${FWU_PAYLOAD_ASM} PROPERTIES
  COMPILE_DEFINITIONS "FWU_BOOT1=\"${FWU_PAYLOAD_DIR}/boot1.bin\";FWU_BOOT2=\"${FWU_PAYLOAD_DIR}/boot2.bin\";FWU_FILESIZE=\"${FWU_PAYLOAD_DIR}/filesize.bin\";FWU_FW=\"${FWU_PAYLOAD_DIR}/fw.bin\""
  OBJECT_DEPENDS "${FWU_PAYLOAD_DIR}/boot1.bin;${FWU_PAYLOAD_DIR}/boot2.bin;${FWU_PAYLOAD_DIR}/filesize.bin;${FWU_PAYLOAD_DIR}/fw.bin")
