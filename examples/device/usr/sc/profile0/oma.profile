# OMA-DM management objects.
DevInfo;A:R,G:R;node;;
DevInfo/DevId;A:R,G:R;string;;k(SYS_SERIAL_NO)
DevInfo/Man;A:R,G:R;string;;v(Example Networks)
DevInfo/Mod;A:R,G:R;string;;v(CPE-100)
DevInfo/DmV;A:R,G:R;string;;v(1.2)
DevInfo/Lang;A:R,G:R;string;;v(en-US)
DevDetail;A:R,G:R;node;;
DevDetail/DevTyp;A:R,G:R;string;;v(CPE)
DevDetail/OEM;A:R,G:R;string;;v(Example Networks)
DevDetail/FwV;A:R,G:R;string;;v(1.0.0)
DevDetail/SwV;A:R,G:R;string;;v(1.0.0)
DevDetail/HwV;A:R,G:R;string;;v(A1)
DevDetail/LrgObj;A:R,G:R;boolean;;v(false)
DMAcc;A:R,G:R;node;;
DMAcc/Operator;A:R,G:R;node;;
DMAcc/Operator/ServerID;A:RW,G:;string;;v(dm.operator.invalid)
DMAcc/Operator/Name;A:RW,G:;string;;v(Operator DM)
DMAcc/Operator/Addr;A:RW,G:;string;;v(https://dm.operator.invalid/dm)
DMAcc/Operator/AuthPref;A:RW,G:;string;;v(HMAC)
WiMAX;A:R,G:R;node;;
WiMAX/Enable;A:RW,G:R;boolean;;r(./sys/wimax/enable)
WiMAX/Bandwidth;A:RW,G:R;uint;;r(./sys/wimax/bandwidth)
# Provider entries stand for the device's own provider table.
WiMAX/NSP;A:RWAD,G:R;node;;
WiMAX/NSP/-1;A:RW,G:R;node;;
WiMAX/NSP/-1/Name;A:RW,G:R;string;;r(./sys/wimax/nsp/$1/name)
WiMAX/NSP/-1/NSPID;A:RW,G:R;string;;r(./sys/wimax/nsp/$1/nsp_id)
WiMAX/NSP/1;A:RW,G:R;node;;
