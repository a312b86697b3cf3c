// The baseline of the revocation check: one OCSP request and answer with nothing but
// OpenSSL and libcurl, making the same calls the checker makes.
#pragma once

#include <curl/curl.h>
#include <openssl/ocsp.h>
#include <openssl/x509_vfy.h>

#include <string>

namespace BenchBare {

inline size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// POSTs a nonce request for leaf (issued by issuer) to url; true when the signed answer
// verifies against trust and says "good".
inline bool OcspExchange(const std::string& url, X509* leaf, X509* issuer, X509_STORE* trust) {
  OCSP_REQUEST* request = OCSP_REQUEST_new();
  OCSP_CERTID* id = OCSP_cert_to_id(EVP_sha256(), leaf, issuer);
  OCSP_request_add0_id(request, OCSP_CERTID_dup(id));
  OCSP_request_add1_nonce(request, nullptr, 16);
  unsigned char* body = nullptr;
  const int bodyLength = i2d_OCSP_REQUEST(request, &body);
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/ocsp-request");
  std::string answer;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(bodyLength));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  const bool transferred = curl_easy_perform(curl) == CURLE_OK;
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(answer.data());
  OCSP_RESPONSE* response = transferred ? d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(answer.size())) : nullptr;
  OCSP_BASICRESP* basic = response ? OCSP_response_get1_basic(response) : nullptr;
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  sk_X509_push(untrusted, issuer);
  int status = -1, reason = 0;
  ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
  const bool good = basic && OCSP_basic_verify(basic, untrusted, trust, 0) > 0 &&
                    OCSP_resp_find_status(basic, id, &status, &reason, &revokedAt, &thisUpdate, &nextUpdate) &&
                    status == V_OCSP_CERTSTATUS_GOOD;
  sk_X509_free(untrusted);
  OCSP_BASICRESP_free(basic);
  OCSP_RESPONSE_free(response);
  OPENSSL_free(body);
  OCSP_CERTID_free(id);
  OCSP_REQUEST_free(request);
  return good;
}

}  // namespace BenchBare
