# Generates a local root CA and a certificate for localhost and 127.0.0.1 signed by it.
# Run with -DOPENSSL=<openssl program> -DOUT=<folder>.
set(tmp ${OUT}/.certs)
file(MAKE_DIRECTORY ${tmp})
file(WRITE ${tmp}/leaf.ext "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl failed: ${err}")
  endif()
endfunction()
run(${OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=vexa development root CA"
    -keyout ${tmp}/RootCA.key -out ${OUT}/RootCA.pem)
run(${OPENSSL} req -newkey rsa:2048 -nodes -subj "/CN=localhost"
    -keyout ${OUT}/localhost.key -out ${tmp}/localhost.csr)
run(${OPENSSL} x509 -req -in ${tmp}/localhost.csr -CA ${OUT}/RootCA.pem -CAkey ${tmp}/RootCA.key
    -CAcreateserial -days 3650 -extfile ${tmp}/leaf.ext -out ${OUT}/localhost.crt)
file(REMOVE_RECURSE ${tmp})
