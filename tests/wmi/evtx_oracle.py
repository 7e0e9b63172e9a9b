"""Independent reading of .evtx files for the import tests (python-evtx).

Usage: evtx_oracle.py SAMPLES FILE...
       evtx_oracle.py --channel FILE...
For each file prints "FILE<TAB>path<TAB>record count", then for about SAMPLES
records spread over the file (always the first and the last) one line
"REC<TAB>index<TAB>code<TAB>identifier<TAB>type<TAB>source<TAB>logfile<TAB>
created_us<TAB>written_us<TAB>computer<TAB>user<TAB>strings" where text
fields are hex-encoded UTF-8, user is "-" when absent and strings is "-" for
none or the values joined by ",", each as "x" and its hex-encoded UTF-8.

With --channel, for every record of every file one line "CHAN<TAB>index<TAB>
record id<TAB>provider<TAB>guid<TAB>version<TAB>level<TAB>task<TAB>opcode<TAB>
keywords<TAB>activity<TAB>process<TAB>thread<TAB>channel<TAB>data<TAB>userdata"
where text fields are hex-encoded UTF-8, data is "-" for no EventData or the
values joined by ",", each as its hex-encoded name, "=" and its hex-encoded
value, and userdata is "-" without UserData, else "x" and its leaf elements
joined by ",", each as its hex-encoded local name, "=" and its hex-encoded
text.
"""
import calendar
import datetime
import re
import sys
import xml.etree.ElementTree as ET

import Evtx.Evtx as evtx

AUDIT_SUCCESS = 0x0020000000000000
AUDIT_FAILURE = 0x0010000000000000
FILETIME_EPOCH_US = 11644473600 * 1000000
# python-evtx renders a string-array value as one text of <string> items.
STRING_ARRAY = re.compile(r'<string>(.*?)</string>\n?', re.S)


def local(tag):
    return tag.rsplit('}', 1)[-1]


def child(el, name):
    for c in el:
        if local(c.tag) == name:
            return c
    return None


def hx(text):
    return (text or '').encode('utf-8').hex()


def micros(dt):
    return calendar.timegm(dt.utctimetuple()) * 1000000 + dt.microsecond


def parse_time(text):
    text = text.strip().rstrip('Z').replace('T', ' ')
    for fmt in ('%Y-%m-%d %H:%M:%S.%f', '%Y-%m-%d %H:%M:%S'):
        try:
            return datetime.datetime.strptime(text[:26], fmt)
        except ValueError:
            pass
    raise ValueError(text)


def data_values(text):
    text = text or ''
    items = STRING_ARRAY.findall(text)
    if items and STRING_ARRAY.sub('', text) == '':
        return items
    return [text]


def leaves(el, out):
    for c in el:
        if len(c) == 0:
            out.append(c.text or '')
        else:
            leaves(c, out)


def written_micros(record, created):
    # The record header's FILETIME, read raw (0: unknown, the creation time
    # stands in).
    filetime = record.unpack_qword(0x10)
    return filetime // 10 - FILETIME_EPOCH_US if filetime else created


def describe(index, record):
    root = ET.fromstring(record.xml())
    system = child(root, 'System')
    eid = child(system, 'EventID')
    ident = int(eid.text)
    qualifiers = int(eid.get('Qualifiers') or 0)
    keywords = int(child(system, 'Keywords').text, 16)
    level_el = child(system, 'Level')
    level = int(level_el.text) if level_el is not None and level_el.text else 0
    if keywords & AUDIT_SUCCESS:
        etype = 4
    elif keywords & AUDIT_FAILURE:
        etype = 5
    elif level in (1, 2):
        etype = 1
    elif level == 3:
        etype = 2
    else:
        etype = 3
    provider = child(system, 'Provider')
    source = provider.get('EventSourceName') or provider.get('Name') or ''
    channel = child(system, 'Channel')
    created = parse_time(child(system, 'TimeCreated').get('SystemTime'))
    computer = child(system, 'Computer')
    security = child(system, 'Security')
    user = (security.get('UserID') or None) if security is not None else None
    values = []
    data = child(root, 'EventData')
    userdata = child(root, 'UserData')
    if data is not None:
        for c in data:
            if local(c.tag) in ('Data', 'ComplexData'):
                values.extend(data_values(c.text))
    elif userdata is not None:
        for c in userdata:
            leaves(c, values)
    strings = ','.join('x' + hx(v) for v in values) if values else '-'
    return '\t'.join([
        'REC', str(index), str(ident & 0xFFFF), str((qualifiers << 16) | ident), str(etype),
        hx(source), hx(channel.text if channel is not None else ''),
        str(micros(created)), str(written_micros(record, micros(created))),
        hx(computer.text if computer is not None else ''),
        hx(user) if user is not None else '-', strings])


def named_leaves(el, out):
    for c in el:
        if len(c) == 0:
            out.append((local(c.tag), c.text or ''))
        else:
            named_leaves(c, out)


def attr(el, name):
    return (el.get(name) or '') if el is not None else ''


def num(el):
    return str(int(el.text, 0)) if el is not None and el.text else '0'


def channel_line(index, record):
    root = ET.fromstring(record.xml())
    system = child(root, 'System')
    provider = child(system, 'Provider')
    execution = child(system, 'Execution')
    channel = child(system, 'Channel')
    data = child(root, 'EventData')
    userdata = child(root, 'UserData')
    values = '-'
    if data is not None:
        values = ','.join(hx(attr(c, 'Name')) + '=' + hx(c.text) for c in data
                          if local(c.tag) in ('Data', 'ComplexData'))
    user = '-'
    if userdata is not None:
        pairs = []
        for c in userdata:
            named_leaves(c, pairs)
        user = 'x' + ','.join(hx(n) + '=' + hx(v) for n, v in pairs)
    return '\t'.join([
        'CHAN', str(index), child(system, 'EventRecordID').text.strip(), hx(attr(provider, 'Name')),
        hx(attr(provider, 'Guid')), num(child(system, 'Version')), num(child(system, 'Level')),
        num(child(system, 'Task')), num(child(system, 'Opcode')),
        str(int(child(system, 'Keywords').text, 16)),
        hx(attr(child(system, 'Correlation'), 'ActivityID')), attr(execution, 'ProcessID') or '0',
        attr(execution, 'ThreadID') or '0', hx(channel.text if channel is not None else ''),
        values, user])


def main():
    if sys.argv[1] == '--channel':
        for path in sys.argv[2:]:
            with evtx.Evtx(path) as log:
                index = 0
                for chunk in log.chunks():
                    for record in chunk.records():
                        print(channel_line(index, record))
                        index += 1
        return
    samples = int(sys.argv[1])
    for path in sys.argv[2:]:
        with evtx.Evtx(path) as log:
            records = [r for chunk in log.chunks() for r in chunk.records()]
            n = len(records)
            print('FILE\t%s\t%d' % (path, n))
            step = max(1, n // max(1, samples))
            picks = sorted(set(list(range(0, n, step)) + [n - 1])) if n else []
            for i in picks:
                print(describe(i, records[i]))


if __name__ == '__main__':
    main()
