# Sourced by the client tests: a test CA, a leaf it signs for localhost and
# 127.0.0.1, and a TLS server for it on a free loopback port.
#   make_ca NAME CN     NAME.pem and NAME.key, a CA certificate for CN
#   make_leaf CA        leaf.pem and leaf.key, signed by CA.pem/CA.key
#   start_tls_server    the leaf's server; sets server_pid and port
# The server reads no store, so that it sends the leaf alone whatever the
# store holds, and it stops by itself after five minutes.
quiet() { "$@" >/dev/null 2>&1; }

make_ca() {
  quiet openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$1.key" -out "$1.pem" -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
}

make_leaf() {
  quiet openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout leaf.key -out leaf.csr -subj "/CN=localhost"
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > leaf.ext
  quiet openssl x509 -req -in leaf.csr -CA "$1.pem" -CAkey "$1.key" -CAcreateserial -days 2 \
    -extfile leaf.ext -out leaf.pem
}

# A free port: try a few until the server stays up.
start_tls_server() {
  server_pid=
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 30000))
    timeout 300 openssl s_server -quiet -accept "127.0.0.1:$port" -cert leaf.pem -key leaf.key -www \
      -no-CAfile -no-CApath -no-CAstore >/dev/null 2>&1 &
    server_pid=$!
    sleep 0.5
    kill -0 "$server_pid" 2>/dev/null && return 0
    server_pid=
  done
  echo "could not start the TLS server"
  exit 1
}
