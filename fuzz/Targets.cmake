# The fuzz targets' entry functions and seeds, shared by the fuzzers (fuzz/) and by the replay
# test that runs in every build (tests/fuzz_regressions/). Included from both; defined once.
set(KOVA_FUZZ_TARGETS message_decoder hello_exchange buffer_registration)
if(NOT TARGET kova_fuzz_targets)
    add_library(kova_fuzz_targets STATIC
        ${CMAKE_CURRENT_LIST_DIR}/targets/FuzzTargets.cpp
        ${CMAKE_CURRENT_LIST_DIR}/targets/MessageDecoderTarget.cpp
        ${CMAKE_CURRENT_LIST_DIR}/targets/HelloExchangeTarget.cpp
        ${CMAKE_CURRENT_LIST_DIR}/targets/BufferRegistrationTarget.cpp
        ${CMAKE_CURRENT_LIST_DIR}/targets/Seeds.cpp)
    target_link_libraries(kova_fuzz_targets PUBLIC kova_protocol kova_test_harness)

    # Rewrites the committed seed corpora: fuzz_write_seeds <repo>/fuzz/corpus
    add_executable(fuzz_write_seeds ${CMAKE_CURRENT_LIST_DIR}/WriteSeeds.cpp)
    target_link_libraries(fuzz_write_seeds PRIVATE kova_fuzz_targets)
endif()
