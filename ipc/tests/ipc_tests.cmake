# The cross-process tests of ipc_tests: the peer program they run (a signed server, an endpoint
# broker and a client) and what the test executable needs to find it. Included from
# ipc/CMakeLists.txt after the ipc library and its tests are defined.
add_executable(ipc_test_peer ${CMAKE_CURRENT_LIST_DIR}/peer/ipc_test_peer.cpp)
target_include_directories(ipc_test_peer PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(ipc_test_peer PRIVATE ${BRELLIS_WARNINGS})
target_link_libraries(ipc_test_peer PRIVATE ipc)

target_compile_definitions(ipc_tests PRIVATE BRELLIS_IPC_PEER="$<TARGET_FILE:ipc_test_peer>")
add_dependencies(ipc_tests ipc_test_peer)
