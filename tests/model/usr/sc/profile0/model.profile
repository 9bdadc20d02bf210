# Nodes of the model test (tests/model): literals, flat-key bindings,
# tables bound to a flat key by instance number ("$1" and "#1"), a table of
# literals with a verified field and a nested table, and a view over it.
sys;A:R,G:R;node;;
sys/m;A:R,G:R;node;;
sys/m/name;A:RW,G:R;string;;v(box)
sys/m/note;A:RW,G:R;string;;v()
sys/m/checked;A:RW,G:R;string;;v(ok)
sys/m/long;A:RW,G:R;string;abcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghij;v(short)
sys/m/mtu;A:RW,G:R;uint;;k(M_MTU)
sys/m/dns1;A:RW,G:R;string;;k(M_DNS)split(,){1}
sys/m/dns3;A:RW,G:R;string;;k(M_DNS)split(,){3}
sys/m/fonly;A:RW,G:R;string;;k(M_FONLY)
sys/m/cfg;A:RWAD,G:R;node;;
sys/m/cfg/-1;A:RW,G:R;node;;
sys/m/cfg/-1/Name;A:RW,G:R;string;;k(M_CFG)split(;){$1}split(,){1}
sys/m/cfg/-1/Type;A:RW,G:R;string;;k(M_CFG)split(;){$1}split(,){2}
sys/m/cfg/1;A:RW,G:R;node;;
sys/m/prev;A:RWAD,G:R;node;;
sys/m/prev/-1;A:RW,G:R;node;;
sys/m/prev/-1/Val;A:RW,G:R;string;;k(M_PREV)split(;){#1}
sys/m/host;A:RWAD,G:R;node;;
sys/m/host/-1;A:RW,G:R;node;;
sys/m/host/-1/Name;A:RW,G:R;string;;v(host$1)
sys/m/host/-1/Tag;A:RW,G:R;string;;v(t)
sys/m/host/-1/port;A:RWAD,G:R;node;;
sys/m/host/-1/port/-1;A:RW,G:R;node;;
sys/m/host/-1/port/-1/Num;A:RW,G:R;string;;v(p$2)
sys/m/host/1;A:RW,G:R;node;;
view;A:R,G:R;node;;
view/Host;A:RWAD,G:R;node;;
view/Host/-1;A:RW,G:R;node;;r(./sys/m/host/-1)
view/Host/-1/HostName;A:RW,G:R;string;;r(./sys/m/host/$1/Name)
