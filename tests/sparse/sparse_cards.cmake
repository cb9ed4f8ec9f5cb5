# The images of the sparse-write proof, built by make_sparse_cards.sh into
# ${CMAKE_BINARY_DIR}/sparse-cards with the build machine's tools.
set(sparse_tools)
foreach(tool sfdisk mkfs.fat mcopy mmd mke2fs)
  string(MAKE_C_IDENTIFIER "WINDOWS_HELPER_SPARSE_${tool}" variable)
  string(TOUPPER ${variable} variable)
  find_program(${variable} ${tool} PATHS /usr/sbin /sbin)
  if(NOT ${variable})
    message(FATAL_ERROR "${tool} not found: the sparse-write images need fdisk, dosfstools, mtools and "
                        "e2fsprogs (scripts/install-deps.sh)")
  endif()
  string(REPLACE "WINDOWS_HELPER_SPARSE_" "" name ${variable})
  list(APPEND sparse_tools ${name}=${${variable}})
endforeach()

set(sparse_dir ${CMAKE_BINARY_DIR}/sparse-cards)
set(sparse_images)
foreach(image fat-ext4 gpt unknown unsupported short)
  list(APPEND sparse_images ${sparse_dir}/${image}.img ${sparse_dir}/${image}.img.zst)
endforeach()
list(APPEND sparse_images ${sparse_dir}/above-4gib.img)
add_custom_command(
  OUTPUT ${sparse_images}
  COMMAND ${CMAKE_COMMAND} -E env ${sparse_tools}
          ${WINDOWS_HELPER_BASH} ${CMAKE_CURRENT_LIST_DIR}/make_sparse_cards.sh ${sparse_dir}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_sparse_cards.sh
  COMMENT "Making the sparse-write test images"
  VERBATIM)
add_custom_target(sparse_cards DEPENDS ${sparse_images})
