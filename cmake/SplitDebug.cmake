# Shipped binaries are stripped when ZORVANDELITH_SPLIT_DEBUG is on; each one's
# symbols stay beside it as <binary>.debug, found through its debug link and build id.
option(ZORVANDELITH_SPLIT_DEBUG "Strip shipped binaries and keep their symbols in <binary>.debug" OFF)
if(ZORVANDELITH_SPLIT_DEBUG)
  find_program(ZORVANDELITH_OBJCOPY NAMES objcopy REQUIRED)
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
