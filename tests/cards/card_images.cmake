# The card images the reader and flash tests open, built by make_cards.sh into
# ${CMAKE_BINARY_DIR}/cards. It runs on the build machine, in the cross build
# too, so the tools are found there: mkfs.fat and sfdisk live in /sbin
# directories that are often not on a user's PATH.
find_program(WINDOWS_HELPER_BASH bash REQUIRED)
set(card_tools)
foreach(tool sfdisk mkfs.fat fsck.fat mcopy mmd mdir)
  string(MAKE_C_IDENTIFIER "WINDOWS_HELPER_${tool}" variable)
  string(TOUPPER ${variable} variable)
  find_program(${variable} ${tool} PATHS /usr/sbin /sbin)
  if(NOT ${variable})
    message(FATAL_ERROR "${tool} not found: the card images need fdisk, dosfstools and mtools "
                        "(scripts/install-deps.sh)")
  endif()
  string(REPLACE "WINDOWS_HELPER_" "" name ${variable})
  list(APPEND card_tools ${name}=${${variable}})
endforeach()

set(card_dir ${CMAKE_BINARY_DIR}/cards)
set(card_scripts make_cards.sh card_bytes.sh card_files.sh card_manifest.sh)
list(TRANSFORM card_scripts PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
add_custom_command(
  OUTPUT ${card_dir}/cards.json ${card_dir}/card.img ${card_dir}/card.img.zst ${card_dir}/card-nosig.img
         ${card_dir}/card-fatloop.img ${card_dir}/card-hugecluster.img ${card_dir}/card-short.img
  COMMAND ${CMAKE_COMMAND} -E env ${card_tools}
          ${WINDOWS_HELPER_BASH} ${CMAKE_CURRENT_LIST_DIR}/make_cards.sh ${card_dir}
  DEPENDS ${card_scripts}
  COMMENT "Making the test card images"
  VERBATIM)
add_custom_target(card_images DEPENDS ${card_dir}/cards.json)
