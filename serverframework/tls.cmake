# quellon_tls: the TLS transport of the connection server — server-wide
# context set-up and the per-connection TLS state over memory BIOs.
add_library(quellon_tls STATIC
  ${CMAKE_CURRENT_LIST_DIR}/sslcontext.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sslsession.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tlstransport.cpp)
target_link_libraries(quellon_tls PUBLIC OpenSSL::SSL OpenSSL::Crypto quellon_base)
