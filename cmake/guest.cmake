# Guest side: freestanding i386 code for zelkos, compiled by clang and linked
# by ld.lld with the project's image layout. Nothing from the host (headers,
# libraries, start files) may leak into a guest target.

set(ZELKOS_TARGET i386-unknown-none-elf)
set(ZELKOS_LINKER_SCRIPT ${PROJECT_SOURCE_DIR}/link/zelkos.ld)

set(ZELKOS_GUEST_COMPILE_OPTIONS
  --target=${ZELKOS_TARGET}
  -march=pentium4          # x87 for long double, SSE2 for 16-byte stores
  -O2 -g
  -ffreestanding           # also implies -fno-builtin: string and memory
                           # loops must stay loops, never turn into calls
                           # of the very functions they implement
  -nostdinc                # no host header may be seen
  -fno-pic -fno-pie
  -fno-stack-protector
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -ffp-contract=off        # the number parser orders every x87 operation
  -fno-strict-aliasing     # the arena's block headers and the stream
                           # buffers are words inside byte arrays
  -ffunction-sections -fdata-sections
  -Wall -Wextra
  $<$<COMPILE_LANGUAGE:CXX>:-std=c++20 -fno-exceptions -fno-rtti -fno-threadsafe-statics>
  $<$<COMPILE_LANGUAGE:C>:-std=c11>
)

find_program(ZELKOS_LLD NAMES ld.lld ld.lld-14 REQUIRED)

function(zelkos_guest target)
  target_compile_options(${target} PRIVATE ${ZELKOS_GUEST_COMPILE_OPTIONS})
endfunction()

# zelkos_image(NAME OBJECTS <object libraries> [ARCHIVES <static libraries>]
#              [WHOLE_ARCHIVE] [GC_SECTIONS])
# Links a guest image with ld.lld directly: the clang driver would hand a
# bare-metal i386 link to the host's gcc, which is the wrong linker.
function(zelkos_image name)
  cmake_parse_arguments(IMG "WHOLE_ARCHIVE;GC_SECTIONS" "" "OBJECTS;ARCHIVES" ${ARGN})
  set(objs)
  foreach(o IN LISTS IMG_OBJECTS)
    list(APPEND objs $<TARGET_OBJECTS:${o}>)
  endforeach()
  set(archives)
  foreach(a IN LISTS IMG_ARCHIVES)
    list(APPEND archives $<TARGET_FILE:${a}>)
  endforeach()
  set(flags -T ${ZELKOS_LINKER_SCRIPT} --orphan-handling=error --build-id=none -static -nostdlib)
  if(IMG_GC_SECTIONS)
    list(APPEND flags --gc-sections)
  endif()
  if(IMG_WHOLE_ARCHIVE)
    set(archives --whole-archive ${archives} --no-whole-archive)
  endif()
  set(out ${CMAKE_BINARY_DIR}/${name})
  add_custom_command(OUTPUT ${out}
    COMMAND ${ZELKOS_LLD} ${flags} -o ${out} ${objs} ${archives}
    DEPENDS ${objs} ${IMG_ARCHIVES} ${ZELKOS_LINKER_SCRIPT}
    COMMAND_EXPAND_LISTS
    COMMENT "Linking guest image ${name}")
  string(MAKE_C_IDENTIFIER ${name} tname)
  add_custom_target(${tname}_image ALL DEPENDS ${out})
endfunction()
