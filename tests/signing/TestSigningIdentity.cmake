# A throwaway code-signing identity for the test build: a test CA and a certificate for
# code signing that it issued, made with openssl in the build folder once, never put in
# any store of the machine. The product and its test variants are signed with it, and the
# tests verify them against that CA alone.
set(dir ${CMAKE_BINARY_DIR}/test-signing)
set(TALLYX_TEST_SIGNING_CA ${dir}/ca.pem)
if(NOT EXISTS ${dir}/signer.p12)
  find_program(TALLYX_OPENSSL openssl REQUIRED)
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/password "throwaway-test-password\n")
  file(WRITE ${dir}/openssl.cnf [=[
[req]
distinguished_name = dn
prompt = no
[dn]
CN = TallyxUpdater Test CA
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
]=])
  set(ec -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  foreach(step
      "req;-x509;-new;${ec};-keyout;ca.key;-out;ca.pem;-days;3650;-config;openssl.cnf;-extensions;ca"
      "req;-new;${ec};-keyout;signer.key;-subj;/CN=TallyxUpdater Test Signer;-out;signer.csr"
      "x509;-req;-in;signer.csr;-CA;ca.pem;-CAkey;ca.key;-set_serial;2;-days;3650;-extfile;openssl.cnf;-extensions;signer;-out;signer.pem"
      "pkcs12;-export;-inkey;signer.key;-in;signer.pem;-certfile;ca.pem;-passout;file:password;-out;signer.p12.new")
    execute_process(COMMAND ${TALLYX_OPENSSL} ${step} WORKING_DIRECTORY ${dir}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 60)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Test signing identity: openssl ${step} failed:\n${output}")
    endif()
  endforeach()
  # Complete or absent: an interrupted run starts over at the next configure.
  file(RENAME ${dir}/signer.p12.new ${dir}/signer.p12)
endif()
set(TALLYX_SIGN_PKCS12 ${dir}/signer.p12)
set(TALLYX_SIGN_PASSWORD_FILE ${dir}/password)
set(TALLYX_SIGN_CERT "")
set(TALLYX_SIGN_KEY "")
set(TALLYX_SIGN_TIMESTAMP_URL "")
