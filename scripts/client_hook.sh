#!/bin/sh
# Hook for busybox udhcpc, dhclient and dhcpcd in the demo and test namespaces: configures the address
# it is given and records what the server sent, one key=value per line, into $HOOK_OUT.
# It never touches files outside the test's own directory (no resolv.conf, no routes file).
out="${HOOK_OUT:?}"
case "${1:-$reason}" in
  bound|renew|BOUND|RENEW|REBOOT|REBIND)
    addr="${ip:-$new_ip_address}"
    mask="${subnet:-$new_subnet_mask}"
    dev="${interface:?}"
    if [ -n "$addr" ]; then
      ip -4 addr flush dev "$dev" 2>/dev/null
      ip addr add "$addr/$mask" dev "$dev"
    fi
    {
      echo "event=${1:-$reason}"
      echo "ip=$addr"
      echo "mask=$mask"
      echo "router=${router:-$new_routers}"
      echo "dns=${dns:-$new_domain_name_servers}"
      echo "domain=${domain:-$new_domain_name}"
      echo "lease=${lease:-$new_dhcp_lease_time}"
      echo "server=${serverid:-$new_dhcp_server_identifier}"
      echo "bootfile=${boot_file:-$new_filename}"
      echo "nextserver=${siaddr:-}"
    } >> "$out"
    ;;
  deconfig|EXPIRE|FAIL|RELEASE|STOP|PREINIT|NBI|TIMEOUT)
    echo "event=${1:-$reason}" >> "$out"
    ;;
esac
exit 0
