# Fails when the firmware image, padded with zeros to whole 1024-byte blocks
# and written from 0x08004000, would run past the end of the device's flash.
#
# Included by CMakeLists.txt (configure time), and run by the steps that
# embed the image, so a file that grows after configuring fails the build:
#
#   cmake -DIMAGE=app.bin -DFLASH_END=0x08100000 -P check-image-fits.cmake

set(FWU_IMAGE_BASE 0x08004000)
set(FWU_BLOCK_SIZE 1024)

function(fwu_check_image_fits image flash_end)
  if(NOT flash_end MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
    message(FATAL_ERROR "FWU_FLASH_END: '${flash_end}' is not a number (e.g. 0x08100000)")
  endif()
  # math() works in signed 64 bits; more than 16 digits would not fit.
  string(REGEX REPLACE "^0[xX]0*" "" digits "${flash_end}")
  string(LENGTH "${digits}" digit_count)
  if(digit_count GREATER 12)
    message(FATAL_ERROR "FWU_FLASH_END: ${flash_end} is beyond the 32-bit address space")
  endif()
  math(EXPR end "${flash_end}")
  math(EXPR base "${FWU_IMAGE_BASE}")
  if(end LESS_EQUAL base OR end GREATER 4294967296)
    message(FATAL_ERROR "FWU_FLASH_END: ${flash_end} must lie above the image base "
                        "${FWU_IMAGE_BASE} and within the 32-bit address space")
  endif()
  if(NOT EXISTS "${image}")
    message(FATAL_ERROR "FWU_FIRMWARE_IMAGE: no such file: ${image}")
  endif()
  file(SIZE "${image}" size)
  # As the tool pads it: whole blocks, at least one.
  if(size EQUAL 0)
    set(blocks 1)
  else()
    math(EXPR blocks "(${size} + ${FWU_BLOCK_SIZE} - 1) / ${FWU_BLOCK_SIZE}")
  endif()
  math(EXPR padded "${blocks} * ${FWU_BLOCK_SIZE}")
  math(EXPR image_end "${base} + ${padded}")
  if(image_end GREATER end)
    math(EXPR image_end_hex "${image_end}" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR room "${end} - ${base}")
    message(FATAL_ERROR
      "The firmware image does not fit the device's flash:\n"
      "  ${image}\n"
      "  ${size} bytes, padded to ${padded} (whole ${FWU_BLOCK_SIZE}-byte blocks), "
      "from ${FWU_IMAGE_BASE} would end at ${image_end_hex}, past FWU_FLASH_END ${flash_end}\n"
      "  (${room} bytes of flash above the boot loader)")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  fwu_check_image_fits("${IMAGE}" "${FLASH_END}")
endif()
