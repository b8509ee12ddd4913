# Small helpers so that every folder declares its targets the same way.

# kestrel_library(name DEPS ...): a static library of every .cpp/.h/.ui in the current folder.
function(kestrel_library name)
  cmake_parse_arguments(K "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h
       ${CMAKE_CURRENT_SOURCE_DIR}/*.ui ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${K_DEPS})
endfunction()

# kestrel_test(name [GUI] DEPS ... [SOURCES ...]): one GoogleTest program of every .cpp in the
# current folder (or the given sources), run by CTest. The shared main creates a QCoreApplication
# (a QApplication with GUI).
function(kestrel_test name)
  cmake_parse_arguments(K "GUI" "TIMEOUT" "DEPS;SOURCES" ${ARGN})
  if(K_SOURCES)
    set(srcs ${K_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  endif()
  add_executable(${name} ${srcs})
  if(K_GUI)
    target_link_libraries(${name} PRIVATE kestrel_testmain_gui Qt6::Test ${K_DEPS})
  else()
    target_link_libraries(${name} PRIVATE kestrel_testmain ${K_DEPS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT K_TIMEOUT)
    set(K_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${K_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endfunction()

# kestrel_fuzzer(name SOURCE src DEPS ...): a libFuzzer target with KESTREL_FUZZ, otherwise a plain
# program that replays fuzz/corpus/<name>; CTest runs the replay so every finding stays a regression.
function(kestrel_fuzzer name)
  cmake_parse_arguments(K "" "SOURCE" "DEPS" ${ARGN})
  add_executable(fuzz_${name} ${K_SOURCE})
  target_link_libraries(fuzz_${name} PRIVATE ${K_DEPS})
  if(KESTREL_FUZZ)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/replaymain.cpp)
  endif()
  add_test(NAME fuzz_${name} COMMAND fuzz_${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  set_tests_properties(fuzz_${name} PROPERTIES TIMEOUT 300)
endfunction()

# kestrel_bench(name SOURCES ... DEPS ...): a benchmark program (not a test).
function(kestrel_bench name)
  cmake_parse_arguments(K "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${K_SOURCES})
  target_link_libraries(${name} PRIVATE ${K_DEPS})
  # The set-up the benchmarks share (bench/simbench.h).
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/bench)
endfunction()
