# z40k.sys: the driver sources linked into an i386 kernel-mode image (native subsystem, entry point
# DriverEntry) that imports only from the kernel, the stream class driver and the camera class library,
# with a version resource, and without its symbols: z40k-debug.sys beside it is the same image with them
# and the debug information.
list(APPEND Z40K_DRIVER_SOURCES driver/sys/kernel_runtime.cpp)
enable_language(RC)
configure_file(${CMAKE_SOURCE_DIR}/driver/sys/version_resource.rc.in ${CMAKE_BINARY_DIR}/version_resource.rc @ONLY)
list(APPEND Z40K_DRIVER_SOURCES ${CMAKE_BINARY_DIR}/version_resource.rc)

# Import libraries for the two drivers MinGW ships none for, made from the exports we use.
set(Z40K_IMPORT_LIBS)
foreach(def stream camera_library)
  set(lib ${CMAKE_BINARY_DIR}/lib${def}.a)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${Z40K_DLLTOOL} --kill-at --def ${CMAKE_SOURCE_DIR}/driver/sys/${def}.def --output-lib ${lib}
    DEPENDS ${CMAKE_SOURCE_DIR}/driver/sys/${def}.def
    COMMENT "Import library for ${def}.def")
  list(APPEND Z40K_IMPORT_LIBS ${lib})
endforeach()
add_custom_target(z40k_import_libs DEPENDS ${Z40K_IMPORT_LIBS})
find_library(Z40K_NTOSKRNL ntoskrnl REQUIRED)
find_library(Z40K_HAL hal REQUIRED)

add_executable(z40k_sys ${Z40K_DRIVER_SOURCES})
add_dependencies(z40k_sys z40k_import_libs)
set_target_properties(z40k_sys PROPERTIES OUTPUT_NAME z40k SUFFIX .sys)
target_include_directories(z40k_sys PRIVATE ${Z40K_DRIVER_VIEW})
# Kernel code: no exceptions, unwind tables, RTTI, guarded statics or stack probes of a runtime. The
# kernel calls in with only 4-byte stack alignment.
# Each routine and table in a section of its own, so that the link keeps only what DriverEntry and the
# records it hands out reach: the reference demosaic and the wrappers only the tests call stay out.
target_compile_options(z40k_sys PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-g -ffunction-sections -fdata-sections>)
target_compile_options(z40k_sys PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wpedantic -ffreestanding -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics -fno-stack-protector
  -fno-stack-check -mno-stack-arg-probe -mincoming-stack-boundary=2 -mno-sse -mno-mmx>)
# The white balance's floating point, and only it, runs between KeSaveFloatingPointState and
# KeRestoreFloatingPointState; in SSE2 doubles as on the host, so both give the same gains. No vector or
# 64-bit integer code may spill into SSE registers outside that span.
set_source_files_properties(imaging/white_balance.cpp PROPERTIES
  COMPILE_OPTIONS "-msse;-msse2;-mfpmath=sse;-mno-stv;-fno-tree-vectorize;-fno-tree-slp-vectorize")
target_link_options(z40k_sys PRIVATE -nostdlib -nostartfiles
  -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
  -Wl,--image-base,0x10000 -Wl,--section-alignment,0x1000 -Wl,--file-alignment,0x200
  -Wl,--dynamicbase -Wl,--enable-reloc-section -Wl,--no-insert-timestamp
  -Wl,--disable-runtime-pseudo-reloc -Wl,--disable-auto-import -Wl,--exclude-all-symbols -Wl,--gc-sections
  # The oldest system it runs on, Windows XP: 5.1.
  -Wl,--major-os-version,5 -Wl,--minor-os-version,1 -Wl,--major-subsystem-version,5
  -Wl,--minor-subsystem-version,1)
target_link_libraries(z40k_sys PRIVATE ${Z40K_IMPORT_LIBS} ${Z40K_NTOSKRNL} ${Z40K_HAL} gcc)

# The linked image is kept as z40k-debug.sys; z40k.sys is it without the symbol table and the debug
# sections. The loader checks each image's checksum as Windows does for drivers.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(Z40K_STRIP ${Z40K_MINGW_PREFIX}-strip REQUIRED)
set(Z40K_DEBUG_IMAGE ${CMAKE_BINARY_DIR}/z40k-debug.sys)
add_custom_command(TARGET z40k_sys POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:z40k_sys> ${Z40K_DEBUG_IMAGE}
  # strip stamps the header with the time unless told the build's epoch, as the link was (none).
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${Z40K_STRIP} --strip-all $<TARGET_FILE:z40k_sys>
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/pe_checksum.py $<TARGET_FILE:z40k_sys>
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/pe_checksum.py ${Z40K_DEBUG_IMAGE}
  BYPRODUCTS ${Z40K_DEBUG_IMAGE}
  COMMENT "z40k-debug.sys, z40k.sys stripped, PE checksums")
