<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ru">
<context>
    <name>TDBusNotifier</name>
    <message>
        <source>Изменений за минуту: %1</source>
        <translation>Changes in the last minute: %1</translation>
    </message>
    <message>
        <source>Был недоступен: %1</source>
        <translation>Was down for %1</translation>
    </message>
    <message>
        <source>%1 д %2 ч</source>
        <translation>%1 d %2 h</translation>
    </message>
    <message>
        <source>%1 ч %2 мин</source>
        <translation>%1 h %2 min</translation>
    </message>
    <message>
        <source>%1 мин %2 с</source>
        <translation>%1 min %2 s</translation>
    </message>
    <message>
        <source>%1 с</source>
        <translation>%1 s</translation>
    </message>
</context>
<context>
    <name>THistoryChart</name>
    <message>
        <source>Доступность: 24 ч %1, 7 дн %2, 30 дн %3</source>
        <translation>Uptime: 24 h %1, 7 days %2, 30 days %3</translation>
    </message>
    <message>
        <source>%1 мс</source>
        <translation>%1 ms</translation>
    </message>
    <message>
        <source>сейчас</source>
        <translation>now</translation>
    </message>
    <message>
        <source>Последний час</source>
        <translation>Last hour</translation>
    </message>
    <message>
        <source>Последние сутки</source>
        <translation>Last 24 hours</translation>
    </message>
    <message>
        <source>−60 мин</source>
        <translation>−60 min</translation>
    </message>
    <message>
        <source>−24 ч</source>
        <translation>−24 h</translation>
    </message>
    <message>
        <source>−30 мин</source>
        <translation>−30 min</translation>
    </message>
    <message>
        <source>−12 ч</source>
        <translation>−12 h</translation>
    </message>
</context>
<context>
    <name>TMonitorHistory</name>
    <message>
        <source>История проверок выключена: %1</source>
        <translation>Check history is off: %1</translation>
    </message>
    <message>
        <source>Последняя проверка: %1 мс</source>
        <translation>Last check: %1 ms</translation>
    </message>
    <message>
        <source>Выберите монитор</source>
        <translation>Select a monitor</translation>
    </message>
    <message>
        <source>Файл истории %1 удалён или заменён: история продолжается в новом файле</source>
        <translation>History file %1 was removed or replaced: the history goes on in a new file</translation>
    </message>
</context>
<context>
    <name>TSaveConfigDialog</name>
    <message>
        <source>Сохранение конфигурации...</source>
        <translation>Save monitor list</translation>
    </message>
    <message>
        <source>Папка не существует:
%1</source>
        <translation>The folder does not exist:
%1</translation>
    </message>
</context>
<context>
    <name>TfmMain</name>
    <message>
        <source>Монитор</source>
        <translation>Monitor</translation>
    </message>
    <message>
        <source>Сервисы</source>
        <translation>Services</translation>
    </message>
    <message>
        <source>Создать</source>
        <translation>Create</translation>
    </message>
    <message>
        <source>Имя сервиса</source>
        <translation>Service name</translation>
    </message>
    <message>
        <source>Посл. активность</source>
        <translation>Last success</translation>
    </message>
    <message>
        <source>Статус</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>Имя монитора; подсказка строки показывает, что он проверяет</source>
        <translation>The monitor&apos;s name; a row&apos;s tooltip shows what it checks</translation>
    </message>
    <message>
        <source>Время последней успешной проверки</source>
        <translation>When the last successful check ended</translation>
    </message>
    <message>
        <source>Итог последней проверки; подсказка называет причину ошибки</source>
        <translation>The last check&apos;s outcome; the tooltip gives the reason of an error</translation>
    </message>
    <message>
        <source>Выход</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>Загрузить...</source>
        <translation>Load...</translation>
    </message>
    <message>
        <source>Сохранить</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>Сохранить как...</source>
        <translation>Save as...</translation>
    </message>
    <message>
        <source>Удалить</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>Показать</source>
        <translation>Show</translation>
    </message>
    <message>
        <source>Файла %1 нет, список пуст. Монитор добавляется через Сервисы › Создать; Ctrl+S спросит имя файла, а при запуске читается %1.</source>
        <translation>There is no %1, so the list is empty. Add a monitor with Services › Create; Ctrl+S asks for a file name, and %1 is what is read at start.</translation>
    </message>
    <message>
        <source>Ping-монитор: %1</source>
        <translation>Ping monitor: %1</translation>
    </message>
    <message>
        <source>Веб-монитор: %1</source>
        <translation>Web monitor: %1</translation>
    </message>
    <message numerus="yes">
        <source>Сертификат цепочки истёк %n дн. назад, %1.</source>
        <translation>
            <numerusform>A certificate of its chain expired %n day ago, on %1.</numerusform>
            <numerusform>A certificate of its chain expired %n days ago, on %1.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Сертификат истёк %n дн. назад, %1.</source>
        <translation>
            <numerusform>Certificate expired %n day ago, on %1.</numerusform>
            <numerusform>Certificate expired %n days ago, on %1.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Сертификат цепочки истекает через %n дн., %1.</source>
        <translation>
            <numerusform>A certificate of its chain expires in %n day, on %1.</numerusform>
            <numerusform>A certificate of its chain expires in %n days, on %1.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Сертификат истекает через %n дн., %1.</source>
        <translation>
            <numerusform>Certificate expires in %n day, on %1.</numerusform>
            <numerusform>Certificate expires in %n days, on %1.</numerusform>
        </translation>
    </message>
    <message>
        <source>%1 «%2» — не число</source>
        <translation>%1 “%2” is not a number</translation>
    </message>
    <message>
        <source>%1 «%2» меньше %3</source>
        <translation>%1 “%2” is less than %3</translation>
    </message>
    <message>
        <source>%1 не задан</source>
        <translation>%1 is empty</translation>
    </message>
    <message>
        <source>%1 «%2» — не адрес вида http://хост/ или https://хост/</source>
        <translation>%1 “%2” is not a URL of the form http://host/ or https://host/</translation>
    </message>
    <message>
        <source>Не проверяется: %1</source>
        <translation>Not checked: %1</translation>
    </message>
    <message>
        <source>Не проверяется: Interval равен %1</source>
        <translation>Not checked: Interval is %1</translation>
    </message>
    <message>
        <source>Вернуть удалённый</source>
        <translation>Undo Delete</translation>
    </message>
    <message>
        <source>Подтвердить сбой</source>
        <translation>Acknowledge Failure</translation>
    </message>
    <message>
        <source>Сбой подтверждён: %1</source>
        <translation>Failure acknowledged: %1</translation>
    </message>
    <message>
        <source>%1; остаётся %2</source>
        <translation>%1; it stays %2</translation>
    </message>
    <message>
        <source>Значение не принято: %1</source>
        <translation>Value refused: %1</translation>
    </message>
    <message>
        <source>Не проверяются, пока значение не исправлено: %1</source>
        <translation>Not checked until the value is mended: %1</translation>
    </message>
    <message>
        <source> и ещё %1</source>
        <translation> and %1 more</translation>
    </message>
    <message numerus="yes">
        <source>Строк файла %1, прочитанных как Windows-1251: %n</source>
        <translation>
            <numerusform>%n line of %1 was read as Windows-1251</numerusform>
            <numerusform>%n lines of %1 were read as Windows-1251</numerusform>
        </translation>
    </message>
    <message>
        <source>%1 «%2» не от %3 до %4</source>
        <translation>%1 “%2” is not between %3 and %4</translation>
    </message>
    <message>
        <source>%1 «%2» — не A, AAAA, CNAME, MX, NS или TXT</source>
        <translation>%1 “%2” is not A, AAAA, CNAME, MX, NS or TXT</translation>
    </message>
    <message>
        <source>%1 «%2» — не IP-адрес с необязательным портом</source>
        <translation>%1 “%2” is not an IP address with an optional port</translation>
    </message>
    <message>
        <source>TCP-монитор: %1</source>
        <translation>TCP monitor: %1</translation>
    </message>
    <message>
        <source>DNS-монитор: %1</source>
        <translation>DNS monitor: %1</translation>
    </message>
    <message>
        <source>в сбое %1 из %2</source>
        <translation>%1 of %2 down</translation>
    </message>
    <message>
        <source>Имя, адрес или причина</source>
        <translation>Name, target or reason</translation>
    </message>
    <message>
        <source>Только сбои</source>
        <translation>Only failing</translation>
    </message>
    <message>
        <source>%1 из %2</source>
        <translation>%1 of %2</translation>
    </message>
    <message>
        <source>Фильтр...</source>
        <translation>Filter...</translation>
    </message>
    <message>
        <source>Звук при сбое</source>
        <translation>Sound on failure</translation>
    </message>
    <message>
        <source>Открыть в браузере</source>
        <translation>Open in browser</translation>
    </message>
    <message>
        <source>Копировать адрес</source>
        <translation>Copy target</translation>
    </message>
    <message numerus="yes">
        <source>Список сохранён в %1, мониторов: %n</source>
        <translation>
            <numerusform>The list was saved to %1, %n monitor</numerusform>
            <numerusform>The list was saved to %1, %n monitors</numerusform>
        </translation>
    </message>
    <message>
        <source>В списке %1 есть несохранённые изменения. Сохранить их?</source>
        <translation>The list %1 has unsaved changes. Save them?</translation>
    </message>
    <message>
        <source>Vardex был остановлен с несохранёнными изменениями списка %1; они записаны в %2. Восстановить их? Иначе файл %2 удаляется.</source>
        <translation>Vardex was stopped with unsaved changes to the list %1; they were written to %2. Restore them? Otherwise %2 is deleted.</translation>
    </message>
    <message numerus="yes">
        <source>Проблем в списке %1: %n</source>
        <translation>
            <numerusform>%n problem in the list %1</numerusform>
            <numerusform>%n problems in the list %1</numerusform>
        </translation>
    </message>
</context>
</TS>
