# Shipped binaries are stripped when ZORVANDELITH_SPLIT_DEBUG is on; each one's
# symbols stay beside it as <binary>.debug, found through its debug link and build id.
option(ZORVANDELITH_SPLIT_DEBUG "Strip shipped binaries and keep their symbols in <binary>.debug" OFF)
# The target's objcopy, which CMake finds beside the compiler (a cross
# toolchain names it): the host's may not know the target's object format.
if(ZORVANDELITH_SPLIT_DEBUG)
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "ZORVANDELITH_SPLIT_DEBUG needs objcopy for the target: set CMAKE_OBJCOPY")
  endif()
  set(ZORVANDELITH_OBJCOPY ${CMAKE_OBJCOPY})
endif()

function(zorvandelith_split_debug program)
  if(ZORVANDELITH_SPLIT_DEBUG)
    add_custom_command(TARGET ${program} POST_BUILD
      COMMAND ${ZORVANDELITH_OBJCOPY} --only-keep-debug $<TARGET_FILE:${program}> $<TARGET_FILE:${program}>.debug
      COMMAND ${ZORVANDELITH_OBJCOPY} --strip-unneeded --remove-section=.comment
              --add-gnu-debuglink=$<TARGET_FILE:${program}>.debug $<TARGET_FILE:${program}>
      VERBATIM)
  endif()
endfunction()
