// libcurl, opened when the first HTTP request needs it rather than linked into the server.
//
// Only a gateway with a remote join server makes HTTP requests. Linked, libcurl and the dozen
// libraries it pulls in (Kerberos, LDAP, SSH, RTMP, HTTP/2) were relocated at every start, some
// 1.7 MB of memory on every other gateway. The header still gives the types and constants; the
// functions come from the library of the running system, looked up by their names.
//
// Get() is safe from any thread; the table it returns is constant.
#pragma once

#include <curl/curl.h>

struct CurlApi {
  CURLcode (*global_init)(long flags);
  void (*global_cleanup)();
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
  CURLcode (*easy_perform)(CURL* handle);
  CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
  void (*easy_reset)(CURL* handle);
  void (*easy_cleanup)(CURL* handle);
  const char* (*easy_strerror)(CURLcode code);
  curl_slist* (*slist_append)(curl_slist* list, const char* text);
  void (*slist_free_all)(curl_slist* list);
  CURLSH* (*share_init)();
  CURLSHcode (*share_setopt)(CURLSH* share, CURLSHoption option, ...);
  CURLSHcode (*share_cleanup)(CURLSH* share);

  // The process's libcurl, opened and initialised (curl_global_init) by the first call; null,
  // logged once, when it is missing or does not initialise.
  static const CurlApi* Get();
  // curl_global_cleanup, when Get initialised the library; for the end of the process.
  static void Release();
};
