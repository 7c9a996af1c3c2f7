# The file suffix decides the instruction set a kernel form may use: scalar files get no SIMD
# flag, _mmx files MMX, _sse files SSE (with its MMX-register integer instructions), _sse2 files
# SSE2, _avx2 files AVX2, _avx512 files AVX512F + AVX512BW (both listed only in x86-64 builds,
# where QUILLET_HAVE_AVX2 and QUILLET_HAVE_AVX512 are on). On i686
# the baseline has none of them, so nothing outside these files uses vector code. No file gets
# -mfma: contracted multiply-adds would change the float results the forms must share.
function(quillet_kernel_forms target)
  get_target_property(sources ${target} SOURCES)
  foreach(src IN LISTS sources)
    if(src MATCHES "_mmx\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mmmx")
    elseif(src MATCHES "_sse\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mmmx;-msse")
    elseif(src MATCHES "_sse2\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mmmx;-msse;-msse2")
    elseif(src MATCHES "_avx2\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mmmx;-msse;-msse2;-mavx2")
    elseif(src MATCHES "_avx512\\.cpp$")
      # GCC 12's AVX-512 intrinsics start results from _mm512_undefined_*(), which its
      # maybe-uninitialized analysis reports inside the system header once inlined.
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mmmx;-msse;-msse2;-mavx2;-mavx512f;-mavx512bw;-Wno-maybe-uninitialized")
    endif()
  endforeach()
endfunction()

# A subsystem library of the core: sources beside their header, warnings, kernel-form flags.
function(quillet_core_library name)
  set(sources "")
  foreach(src IN LISTS ARGN)
    get_filename_component(path ${src} ABSOLUTE)
    if(EXISTS ${path})
      list(APPEND sources ${path})
    endif()
  endforeach()
  if(NOT sources)
    # A subsystem whose files are not written yet still configures; linking needs them.
    set(sources ${PROJECT_SOURCE_DIR}/common/empty_unit.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE quillet_warnings)
  quillet_kernel_forms(${name})
endfunction()
