<?php
// The child process of "wsrelay". Each line on its standard input is the hex
// coding of one "childp" item followed by ","; it answers with one line, the
// item's text in upper case. The text "stop" ends it.

declare(strict_types=1);

while (($line = fgets(STDIN)) !== false) {
    $hex = rtrim($line, "\r\n");
    if ($hex === '' || strlen($hex) % 2 !== 0 || !ctype_xdigit($hex)) {
        continue;
    }
    $item = json_decode(rtrim((string) hex2bin($hex), ','), true);
    $text = (string) ($item['response']['data']['text'] ?? '');
    if ($text === 'stop') {
        echo "bye\n";
        break;
    }
    echo strtoupper($text), "\n";
    fflush(STDOUT);
}
