# TR-069 view; modules whose name begins with "cwmp" use dotted notation.
InternetGatewayDevice;A:R,G:R;node;;
InternetGatewayDevice.DeviceInfo;A:R,G:R;node;;
InternetGatewayDevice.DeviceInfo.Manufacturer;A:R,G:R;string;;v(Example Networks)
InternetGatewayDevice.DeviceInfo.ModelName;A:R,G:R;string;;v(CPE-100)
InternetGatewayDevice.DeviceInfo.SerialNumber;A:R,G:R;string;;k(SYS_SERIAL_NO)
InternetGatewayDevice.DeviceInfo.SoftwareVersion;A:R,G:R;string;;v(1.0.0)
InternetGatewayDevice.DeviceInfo.UpTime;A:R,G:R;uint;;v(0)
InternetGatewayDevice.ManagementServer;A:R,G:R;node;;
InternetGatewayDevice.ManagementServer.URL;A:RW,G:;string;;v(https://acs.operator.invalid/cwmp)
InternetGatewayDevice.ManagementServer.PeriodicInformEnable;A:RW,G:;boolean;;v(true)
InternetGatewayDevice.ManagementServer.PeriodicInformInterval;A:RW,G:;uint;1..;v(3600)
InternetGatewayDevice.Time;A:R,G:R;node;;
InternetGatewayDevice.Time.NTPServer1;A:RW,G:R;string;;k(SYS_NTP_SERVER)
InternetGatewayDevice.Time.LocalTimeZone;A:RW,G:R;string;;r(./sys/system/timezone)
InternetGatewayDevice.LANDevice;A:R,G:R;node;;
InternetGatewayDevice.LANDevice.-1;A:R,G:R;node;;
InternetGatewayDevice.LANDevice.-1.LANHostConfigManagement;A:R,G:R;node;;
InternetGatewayDevice.LANDevice.-1.LANHostConfigManagement.DHCPServerEnable;A:RW,G:R;boolean;;r(./sys/network/lan/dhcp_enable)
InternetGatewayDevice.LANDevice.-1.LANHostConfigManagement.MinAddress;A:RW,G:R;string;;r(./sys/network/lan/dhcp_start)
InternetGatewayDevice.LANDevice.-1.LANHostConfigManagement.MaxAddress;A:RW,G:R;string;;r(./sys/network/lan/dhcp_end)
InternetGatewayDevice.LANDevice.1;A:R,G:R;node;;
