# The churn and soak driver: its own program, run by scripts/soak.sh, not by CTest (it runs for
# minutes and needs root for its private pid namespace).
if(TREEMON_TESTS AND NOT WIN32)
  find_package(nlohmann_json QUIET)
  add_executable(treemon_churn tests/soak/churn.cpp tests/support/child_process_posix.cpp
                 tests/support/event_capture.cpp tests/support/pid_namespace_linux.cpp)
  target_include_directories(treemon_churn PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(nlohmann_json_FOUND)
    target_link_libraries(treemon_churn PRIVATE nlohmann_json::nlohmann_json)
  endif()
  add_dependencies(treemon_churn treemon)
endif()
