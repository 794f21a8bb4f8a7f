# Tests of the live web dashboard (server/web): included by tests/server/CMakeLists.txt.
if(TARGET pellick_web)
  set(WEB_TEST_LIBS pellick_web_core nlohmann_json::nlohmann_json)
  pellick_add_test(web_text_test SOURCES web_text_test.cpp LIBS ${WEB_TEST_LIBS})
  pellick_add_test(web_status_test SOURCES web_status_test.cpp LIBS pellick_app ${WEB_TEST_LIBS})
  pellick_add_test(web_options_test SOURCES web_options_test.cpp LIBS ${WEB_TEST_LIBS})
  pellick_add_test(web_dashboard_test SOURCES web_dashboard_test.cpp LIBS pellick_web pellick_notifier ${WEB_TEST_LIBS} pellick_http_client)
  # The HTTP limits over real sockets from many loopback addresses (Linux).
  if(NOT WIN32)
    pellick_add_test(web_limits_test SOURCES posix/web_limits_test.cpp
                     LIBS pellick_web ${WEB_TEST_LIBS} pellick_http_client)
    target_compile_definitions(web_limits_test PRIVATE PELLICK_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
  endif()
  # The golden report fragments: the JSON and metrics tests use the same scenarios.
  foreach(t web_status_test web_options_test web_dashboard_test)
    target_compile_definitions(${t} PRIVATE PELLICK_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
  endforeach()

  # Status lines from a script, for the browser, webhook, Wine and Prometheus (tests/deploy) tests.
  if(NOT WIN32 OR CMAKE_CROSSCOMPILING)
    add_executable(status_sender ${CMAKE_SOURCE_DIR}/tests/web/status_sender.cpp)
    target_link_libraries(status_sender PRIVATE pellick_common pellick_platform)
  endif()
  # The page in headless Chromium against a real pellicksrv: Linux preset only (no sanitizers).
  if(NOT WIN32 AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
    add_test(NAME web_browser_test
             COMMAND node ${CMAKE_SOURCE_DIR}/tests/web/dashboard.test.mjs
                     --server $<TARGET_FILE:pellicksrv> --sender $<TARGET_FILE:status_sender>
                     --out ${CMAKE_BINARY_DIR})
    set_tests_properties(web_browser_test PROPERTIES TIMEOUT 300 LABELS "browser")
  endif()

  # pellicksrv.exe's dashboard under Wine: the window thread takes the page's changes, its timer finds stalled CPUs.
  if(WIN32 AND CMAKE_CROSSCOMPILING AND TARGET pellicksrv)
    add_test(NAME web_dashboard_wine
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/web_dashboard_wine.sh $<TARGET_FILE:pellicksrv>
                     ${CMAKE_CURRENT_BINARY_DIR}/web-wine-work $<TARGET_FILE:status_sender>)
    set_tests_properties(web_dashboard_wine PROPERTIES TIMEOUT 400 LABELS "gui;web")
  endif()

  # The webhook end to end against a receiver on this machine (Linux, and pellicksrv.exe under Wine).
  if(TARGET status_sender AND TARGET pellicksrv)
    add_test(NAME webhook_test
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/webhook_test.sh $<TARGET_FILE:pellicksrv>
                     ${CMAKE_CURRENT_BINARY_DIR}/webhook-work $<TARGET_FILE:status_sender>
                     ${CMAKE_CURRENT_SOURCE_DIR}/webhook_receiver.py)
    set_tests_properties(webhook_test PROPERTIES TIMEOUT 400 LABELS "web")
  endif()
endif()
