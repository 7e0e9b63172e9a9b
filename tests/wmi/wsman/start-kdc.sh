#!/usr/bin/env bash
# Starts a throw-away MIT Kerberos KDC for one test, on loopback with its own
# realm, and writes what the test needs into DIR:
#   DIR/krb5.conf     client and server configuration (KRB5_CONFIG)
#   DIR/http.keytab   the key of HTTP/HOST (the endpoint's KRB5_KTNAME)
#   DIR/kdc.pid       the KDC's process id (the test ends it)
# Principals: USER@QUELLON.TEST with PASSWORD, HTTP/HOST@QUELLON.TEST.
# Usage: start-kdc.sh DIR PORT HOST USER PASSWORD
set -euo pipefail
dir=$1 port=$2 host=$3 user=$4 password=$5
realm=QUELLON.TEST
cat >"$dir/krb5.conf" <<CONF
[libdefaults]
  default_realm = $realm
  dns_lookup_kdc = false
  dns_lookup_realm = false
  rdns = false
  dns_canonicalize_hostname = false
  udp_preference_limit = 1
  default_ccache_name = FILE:$dir/ccache
[realms]
  $realm = {
    kdc = 127.0.0.1:$port
  }
CONF
cat >"$dir/kdc.conf" <<CONF
[kdcdefaults]
  kdc_ports = $port
  kdc_tcp_ports = $port
[realms]
  $realm = {
    database_name = $dir/principal
    key_stash_file = $dir/stash
    acl_file = $dir/kadm5.acl
  }
[logging]
  kdc = FILE:$dir/kdc.log
CONF
: >"$dir/kadm5.acl"
export KRB5_CONFIG=$dir/krb5.conf KRB5_KDC_PROFILE=$dir/kdc.conf
kdb5_util -r $realm -P master-for-tests create -s >/dev/null 2>&1
kadmin.local -r $realm -q "addprinc -pw $password $user" >/dev/null 2>&1
kadmin.local -r $realm -q "addprinc -randkey HTTP/$host" >/dev/null 2>&1
kadmin.local -r $realm -q "ktadd -k $dir/http.keytab HTTP/$host" >/dev/null 2>&1
krb5kdc -r $realm -n -P "$dir/kdc.pid" &
pid=$!
echo $pid >"$dir/kdc.pid"
for _ in $(seq 100); do
  if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then exit 0; fi
  sleep 0.05
done
echo "the KDC did not start" >&2
kill $pid
exit 1
