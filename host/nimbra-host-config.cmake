# find_package(nimbra-host) gives the target nimbra::host (C++20 is asked of its users).
include(${CMAKE_CURRENT_LIST_DIR}/nimbra-host-targets.cmake)
