#include "SerialMetatypes.h"

#include "AbstractSerialPort.h"
#include "common/CommonMetatypes.h"
#include "SerialComm.h"

#include <QMetaType>

void registerSerialMetatypes()
{
    static const bool registered = [] {
        registerCommonMetatypes();
        const int portType = qRegisterMetaType<AbstractSerialPort *>("MlSerialPort*");
        QMetaType::registerTypedef("AbstractSerialPort*", portType);
        qRegisterMetaType<SerialComm *>("SerialComm*");
        qRegisterMetaType<AbstractSerialPort::Parity>("MlSerialPort::Parity");
        qRegisterMetaType<AbstractSerialPort::SerialPortError>("MlSerialPort::SerialPortError");
        qRegisterMetaType<AbstractSerialPort::SerialPortError>("AbstractSerialPort::SerialPortError");
        return true;
    }();
    Q_UNUSED(registered);
}
