# Helpers shared by the subsystem folders.
#
# sl_library(NAME [DEPS libs...] [JA_TEXTS file.txt...])
#   Builds every *.cc of the calling folder (except *_test.cc and *_fuzz.cc)
#   into the static library NAME, and every *_test.cc into NAME_tests, a
#   GoogleTest program registered with CTest.
#   JA_TEXTS names UTF-8 text tables (NAME<TAB>text per line) that are turned
#   into a header of EUC-JP byte constants at build time; see
#   cmake/JapaneseTexts.cmake.

set(SL_GEN_DIR ${CMAKE_BINARY_DIR}/gen)
file(MAKE_DIRECTORY ${SL_GEN_DIR})

function(sl_japanese_texts target input)
  get_filename_component(base ${input} NAME_WE)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(out ${SL_GEN_DIR}/${rel}/${base}.h)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_CURRENT_SOURCE_DIR}/${input}
            -DOUTPUT=${out} -DCODE=EUC-JP
            -P ${PROJECT_SOURCE_DIR}/cmake/JapaneseTexts.cmake
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${input} ${PROJECT_SOURCE_DIR}/cmake/JapaneseTexts.cmake
    COMMENT "Converting ${rel}/${input} to EUC-JP constants")
  target_sources(${target} PRIVATE ${out})
endfunction()

function(sl_library name)
  cmake_parse_arguments(A "" "" "DEPS;JA_TEXTS;TEST_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER srcs EXCLUDE REGEX "(_test|_fuzz|/main)\\.cc$")
  if(NOT srcs)
    # A subsystem whose code has not arrived yet.
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cc)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${SL_GEN_DIR})
  target_link_libraries(${name} PUBLIC ${A_DEPS} Threads::Threads)
  foreach(t ${A_JA_TEXTS})
    sl_japanese_texts(${name} ${t})
  endforeach()

  if(SL_TESTS)
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
    if(tests)
      add_executable(${name}_tests ${tests})
      target_link_libraries(${name}_tests PRIVATE ${name} ${A_TEST_DEPS} GTest::gtest GTest::gtest_main)
      target_compile_definitions(${name}_tests PRIVATE
        SL_SOURCE_DIR="${PROJECT_SOURCE_DIR}" SL_BINARY_DIR="${CMAKE_BINARY_DIR}")
      gtest_discover_tests(${name}_tests DISCOVERY_MODE PRE_TEST
        PROPERTIES LABELS unit TIMEOUT 120)
    endif()
  endif()
endfunction()
