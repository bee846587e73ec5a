<?php
// The page protocol by hand, without lib/vexa.php: /raw-show-42.html answers
// with everything this run of PHP received, as JSON.

declare(strict_types=1);

return function (): void {
    global $argv;
    // idata, cdata and bcookies: JSON, hex-coded, in the environment.
    $fromHex = fn (string $name) => json_decode((string) hex2bin((string) getenv($name)), true);
    $received = [
        'argv' => $argv,
        'idata' => $fromHex('idata'),
        'cdata' => $fromHex('cdata'),
        'bcookies' => $fromHex('bcookies'),
    ];
    // One reply envelope on one line; "headers" must be its first member.
    $envelope = [
        'headers' => ['content-type' => ['application/json'], 'X-Notes' => ['raw']],
        'cookies' => ['seen' => ['yes', 0, '/', '', false, true]],
        'content' => strtoupper(bin2hex(json_encode($received, JSON_UNESCAPED_SLASHES))),
    ];
    echo json_encode($envelope), "\n";
};
