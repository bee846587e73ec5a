<?php
// The page protocol by hand, without lib/vexa.php: /raw-show-42.html answers
// with everything this run of PHP received, as JSON; /raw-noise.html shows
// where text printed around an envelope goes.

declare(strict_types=1);

return function (): void {
    global $argv;
    if ($argv[array_search('--evt', $argv, true) + 1] === 'noise') {
        // /raw-noise.html: text printed around an envelope is its noise.
        echo "[before]\n";
        $envelope = ['headers' => new stdClass(), 'cookies' => new stdClass(),
                     'content' => strtoupper(bin2hex('<p>content</p>'))];
        echo '[lead]', json_encode($envelope), '[after]';
        return;
    }
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
