# The device's own view. Fields: URI;ATR;DataType;DataLimit;Data
# Data: v(literal), r(reference), k(flat key)split(c){field}; "$1" is the
# instance number of the first table level, "#1" that number minus one.
sys;A:R,G:R;node;;
sys/system;A:R,G:R;node;;
sys/system/name;A:RW,G:R;string;1..64;k(SYS_NAME)
sys/system/timezone;A:RW,G:R;string;;k(SYS_TIMEZONE)
sys/system/ntp_server;A:RW,G:R;string;;k(SYS_NTP_SERVER)
sys/system/serial;A:R,G:R;string;;k(SYS_SERIAL_NO)
sys/network;A:R,G:R;node;;
sys/network/lan;A:R,G:R;node;;
sys/network/lan/ip;A:RW,G:R;addr;;k(LAN_IPADDR)
sys/network/lan/netmask;A:RW,G:R;addr;;k(LAN_NETMASK)
sys/network/lan/dhcp_enable;A:RW,G:R;boolean;;k(LAN_DHCPD_ENABLE)
sys/network/lan/dhcp_start;A:RW,G:R;addr;;k(LAN_DHCPD_START)
sys/network/lan/dhcp_end;A:RW,G:R;addr;;k(LAN_DHCPD_END)
sys/network/ipv6_enable;A:RW,G:R;boolean;;k(IPV6_ENABLE)
# IPv6 configurations: entry N is the N-th ';' group of IPV6_CONFIG.
sys/network/v6config;A:RWAD,G:R;node;;
sys/network/v6config/-1;A:RW,G:R;node;;
sys/network/v6config/-1/ID;A:R,G:R;uint;;k(IPV6_CONFIG)split(;){$1}split(,){1}
sys/network/v6config/-1/Name;A:RW,G:R;string;1..16;k(IPV6_CONFIG)split(;){$1}split(,){2}
sys/network/v6config/-1/Type;A:RW,G:R;string;static|dhcpv6|slaac;k(IPV6_CONFIG)split(;){$1}split(,){3}
sys/network/v6config/1;A:RW,G:R;node;;
sys/network/v6config/2;A:RW,G:R;node;;
sys/wan;A:R,G:R;node;;
sys/wan/mode;A:RW,G:R;string;dhcp|static|pppoe;k(WAN_MODE)
sys/wan/mtu;A:RW,G:R;uint;576..1500;k(WAN_MTU)
sys/wan/dns;A:RW,G:R;string;;k(WAN_DNS_SERVERS)
sys/wimax;A:R,G:R;node;;
sys/wimax/enable;A:RW,G:R;boolean;;k(WIMAX_ENABLE)
sys/wimax/frequencies;A:RW,G:R;string;;k(WIMAX_FREQ_LIST)
sys/wimax/first_frequency;A:R,G:R;uint;;k(WIMAX_FREQ_LIST)split(,){1}
sys/wimax/bandwidth;A:RW,G:R;uint;;k(WIMAX_BANDWIDTH)
sys/wimax/rssi_threshold;A:RW,G:R;int;-100..-40;k(WIMAX_RSSI_THRESHOLD)
sys/wimax/eap;A:R,G:R;node;;
sys/wimax/eap/method;A:RW,G:R;string;TLS|TTLS;k(WIMAX_EAP_METHOD)
sys/wimax/eap/inner;A:RW,G:R;string;;k(WIMAX_EAP_INNER)
sys/wimax/eap/identity;A:RW,G:R;string;;k(WIMAX_EAP_IDENTITY)
# Network service providers the device knows; the first is the operator's.
sys/wimax/nsp;A:RWAD,G:R;node;;
sys/wimax/nsp/-1;A:RW,G:R;node;;
sys/wimax/nsp/-1/name;A:RW,G:R;string;;v(nsp$1)
sys/wimax/nsp/-1/nsp_id;A:RW,G:R;string;;v(000000)
sys/wimax/nsp/1;A:RW,G:R;node;;
sys/wimax/nsp/1/name;A:RW,G:R;string;;v(operator)
sys/wimax/nsp/1/nsp_id;A:RW,G:R;string;;k(WIMAX_NSP_ID)
sys/services;A:R,G:R;node;;
sys/services/web_port;A:RW,G:R;uint;1..65535;k(WEB_HTTP_PORT)
sys/services/voip;A:R,G:R;node;;
sys/services/voip/enable;A:RW,G:R;boolean;;k(VOIP_ENABLE)
# VoIP lines: line N is the N-th ';' group of VOIP_LINES (enable,number,codec).
sys/services/voip/line;A:RWAD,G:R;node;;
sys/services/voip/line/-1;A:RW,G:R;node;;
sys/services/voip/line/-1/enable;A:RW,G:R;boolean;;k(VOIP_LINES)split(;){$1}split(,){1}
sys/services/voip/line/-1/number;A:RW,G:R;string;;k(VOIP_LINES)split(;){$1}split(,){2}
sys/services/voip/line/-1/codec;A:RW,G:R;string;G711|G729|G722;k(VOIP_LINES)split(;){$1}split(,){3}
sys/services/voip/line/1;A:RW,G:R;node;;
sys/services/voip/line/2;A:RW,G:R;node;;
