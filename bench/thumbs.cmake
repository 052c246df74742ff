# Thumbnails of a card of camera pictures (the found list's worker threads). Included from
# bench/CMakeLists.txt, after benchmark::benchmark is found.
add_executable(bench_thumbs ${CMAKE_CURRENT_LIST_DIR}/bench_thumbs.cpp)
target_link_libraries(bench_thumbs PRIVATE
  px3_recovery px3_app px3_device px3_jobs px3_platform benchmark::benchmark)
target_compile_features(bench_thumbs PRIVATE cxx_std_20)
